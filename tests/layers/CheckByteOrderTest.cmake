# The build's byte-order check on planted sources: a helper of the names such copies take and a
# number taken apart or put together by shifts are refused; kernel/ByteOrder.h itself, calls of it,
# checksums that shift and comments pass. Run with -DCHECK=<the check's script> -DWORK=<an empty
# directory of its own>.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
function(plant path text)
  file(WRITE ${WORK}/tree/${path} "${text}")
endfunction()
plant(net/Helpers.cpp "uint32_t ParseUint32(const uint8_t *bytes)\n{\n    return 0;\n}\n")
plant(patch/Names.cpp "    if (ReadU16(bytes, 2) == 0)\n        AppendInt64(out, when);\n")
plant(repair/Loop.cpp "    for (int i = 0; i < 8; ++i)\n        out[i] = static_cast<char>(value >> (8 * i));\n")
plant(tests/Join.cpp "        value = (value << 8) | bytes[i];\n")
plant(publish/Unrolled.cpp "    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16;\n")
plant(kernel/ByteOrder.h "        value = (value << 8) | bytes[i];\n")
plant(run/Fine.cpp [=[
// AppendUint32(bytes, value) and (value << 8) | byte, as a comment says them.
    LittleEndian::Append32(block, LittleEndian::Read32(bytes + 4));
    const uint32_t crc = (previous << 8) ^ table[previous >> 24];
    ZELKRESULT result = ReadRepairUint32(source, version);
]=])

function(check expected_status)
  string(REPLACE ";" "\n" lines "${ARGN}")
  file(WRITE ${WORK}/sources.txt "${lines}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK}/tree -DSOURCE_LIST=${WORK}/sources.txt -P ${CHECK}
                  RESULT_VARIABLE status ERROR_VARIABLE errors)
  set(errors "${errors}" PARENT_SCOPE)
  if((expected_status EQUAL 0) AND NOT (status EQUAL 0))
    message(FATAL_ERROR "the check refused what it should pass:\n${errors}")
  endif()
  if(NOT (expected_status EQUAL 0) AND (status EQUAL 0))
    message(FATAL_ERROR "the check passed ${ARGN}")
  endif()
endfunction()

set(refused net/Helpers.cpp patch/Names.cpp repair/Loop.cpp tests/Join.cpp publish/Unrolled.cpp)
foreach(path ${refused})
  check(1 ${WORK}/tree/${path})
endforeach()
check(1 ${WORK}/tree/patch/Names.cpp ${WORK}/tree/run/Fine.cpp)
foreach(line "patch/Names.cpp: if (ReadU16" "patch/Names.cpp: AppendInt64(out, when)")
  string(FIND "${errors}" "${line}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "not refused: ${line}\n${errors}")
  endif()
endforeach()
string(FIND "${errors}" "run/Fine.cpp" found)
if(NOT found EQUAL -1)
  message(FATAL_ERROR "refused: run/Fine.cpp\n${errors}")
endif()
check(0 ${WORK}/tree/kernel/ByteOrder.h ${WORK}/tree/run/Fine.cpp)
