# The build's include check on planted sources: a platform header is refused outside
# kernel/KernelStandard/ and allowed there and in the tests; the C++ library's headers pass.
# Run with -DCHECK=<the check's script> -DWORK=<an empty directory of its own>.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
function(plant path text)
  file(WRITE ${WORK}/tree/${path} "${text}")
endfunction()
plant(run/Planted.cpp "#include <csignal>\n#include <string>\n#include \"net/TCPSocket.h\"\n  # include <sys/socket.h>\n#include <dlfcn.h>\n")
plant(kernel/Planted.cpp "#include <unistd.h>\n")
plant(kernel/KernelStandard/PlantedPosix.cpp "#include <unistd.h>\n#include <sys/mman.h>\n")
plant(tests/run/PlantedTest.cpp "#include <unistd.h>\n")

function(check expected_status)
  string(REPLACE ";" "\n" lines "${ARGN}")
  file(WRITE ${WORK}/sources.txt "${lines}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DFOLDER=run "-DMAY_USE=run;net;kernel" "-DFOLDERS=kernel;net;run;tests"
                          -DSOURCE_DIR=${WORK}/tree -DSOURCE_LIST=${WORK}/sources.txt -DSTAMP=${WORK}/stamp -P ${CHECK}
                  RESULT_VARIABLE status ERROR_VARIABLE errors)
  set(status ${status} PARENT_SCOPE)
  set(errors "${errors}" PARENT_SCOPE)
  if((expected_status EQUAL 0) AND NOT (status EQUAL 0))
    message(FATAL_ERROR "the check refused what it should pass:\n${errors}")
  endif()
  if(NOT (expected_status EQUAL 0) AND (status EQUAL 0))
    message(FATAL_ERROR "the check passed ${ARGN}")
  endif()
endfunction()

check(1 ${WORK}/tree/run/Planted.cpp ${WORK}/tree/kernel/Planted.cpp)
foreach(refused "run/Planted.cpp includes <sys/socket.h>" "run/Planted.cpp includes <dlfcn.h>"
                "kernel/Planted.cpp includes <unistd.h>")
  string(FIND "${errors}" "${refused}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "not refused: ${refused}\n${errors}")
  endif()
endforeach()
foreach(passed "<csignal>" "<string>" "TCPSocket")
  string(FIND "${errors}" "${passed}" found)
  if(NOT found EQUAL -1)
    message(FATAL_ERROR "refused: ${passed}\n${errors}")
  endif()
endforeach()
check(0 ${WORK}/tree/kernel/KernelStandard/PlantedPosix.cpp ${WORK}/tree/tests/run/PlantedTest.cpp)
