# Fails when a source includes a header its layer may not use: a folder of the tree not in
# MAY_USE, a wxWidgets header outside the application (ALLOW_WX), or a header of the platform
# (POSIX, Linux, the dynamic loader) outside kernel/KernelStandard/, which keeps such code behind
# the portable headers of kernel/. The tests, the tools and the benchmarks may use the platform
# where they must: they start programs, plant files and serve peers as the platform does. Run by
# the build before a layer is compiled, with the sources listed one per line in SOURCE_LIST.
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${SOURCE_LIST} sources)
list(JOIN MAY_USE "/, " allowed)
# <csignal> and the other headers of the C++ library stay allowed: they are the same everywhere.
set(platform_headers "^(unistd|fcntl|netdb|dlfcn|link|pthread|poll|signal|termios|pwd|grp|dirent|spawn|sched|syslog|ifaddrs|semaphore|ucontext|execinfo|malloc|elf|dwarf|libgen|glob|fnmatch|wordexp|mqueue|err|error|utmp|paths)\\.h$|^(sys|arpa|netinet|net|linux|asm|bits|gnu|elfutils|security|systemd)/")
set(problems)
foreach(source ${sources})
  file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line ${includes})
    string(REGEX MATCH "[<\"]([^>\"]+)[>\"]" ignored "${line}")
    set(header ${CMAKE_MATCH_1})
    file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
    if(header MATCHES "^wx/" AND NOT ALLOW_WX)
      list(APPEND problems "${where} includes <${header}>: only app/ and its tests see wxWidgets")
      continue()
    endif()
    if(line MATCHES "include[ \t]*<" AND header MATCHES "${platform_headers}"
       AND NOT where MATCHES "^(kernel/KernelStandard|tests|tools|bench)/")
      list(APPEND problems "${where} includes <${header}>: platform code belongs behind a header of kernel/, in kernel/KernelStandard/")
      continue()
    endif()
    # Only quoted includes name the tree's folders; <net/if.h> is the system's.
    set(folder)
    if(line MATCHES "\"" AND header MATCHES "^([a-zA-Z0-9_]+)/")
      set(folder ${CMAKE_MATCH_1})
    endif()
    if(folder AND folder IN_LIST FOLDERS AND NOT folder IN_LIST MAY_USE)
      list(APPEND problems "${where} includes \"${header}\": ${FOLDER}/ may use only ${allowed}/")
    endif()
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "Layer rule broken:\n  ${text}")
endif()
file(TOUCH ${STAMP})
