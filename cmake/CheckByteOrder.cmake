# Fails when a source reads or writes a number byte by byte instead of through kernel/ByteOrder.h,
# which holds the one copy of that code: a private copy is where an order gets swapped, a byte gets
# widened with its sign, or a width is cut short. Two marks, both outside comments:
#   - a function of the names such copies take: Get, Put, Read, Write, Append, Parse, Load or Store,
#     then U, Uint, Int, BigEndian, LittleEndian, BE or LE, then 16, 32 or 64 (ReadU32, AppendUint64,
#     LoadBigEndian32); a name with more between, such as ReadRepairUint32, is no such copy;
#   - a shift by whole bytes that assembles a number, "(x << 8) | y" (8 to 56), or that takes one
#     apart in a loop, "x >> (8 * i)".
# Run by the build before a layer is compiled (beside the include check, which keeps the stamp),
# with the sources listed one per line in SOURCE_LIST.
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${SOURCE_LIST} sources)
set(helper "(^|[^A-Za-z0-9_])(Get|Put|Read|Write|Append|Parse|Load|Store)(U|U?[Ii]nt|BigEndian|LittleEndian|BE|LE)(16|32|64)[ \t]*\\(")
set(assembles "<<[ \t]*(8|16|24|32|40|48|56)[ \t]*\\)?[ \t]*\\|")
set(takes_apart ">>[ \t]*\\([ \t]*8[ \t]*\\*")
set(problems)
foreach(source ${sources})
  file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
  if(where STREQUAL "kernel/ByteOrder.h")
    continue()
  endif()
  # A line may come back in pieces (at each ';'), which is as good for these marks.
  file(STRINGS ${source} hits REGEX "${helper}|${assembles}|${takes_apart}")
  foreach(hit IN LISTS hits)
    string(REGEX REPLACE "//.*$" "" code "${hit}")
    if(code MATCHES "^[ \t]*\\*" OR NOT (code MATCHES "${helper}|${assembles}|${takes_apart}"))
      continue()
    endif()
    string(REPLACE ";" " " code "${code}")
    string(STRIP "${code}" code)
    list(APPEND problems "${where}: ${code}")
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "Byte order by hand (use kernel/ByteOrder.h):\n  ${text}")
endif()
