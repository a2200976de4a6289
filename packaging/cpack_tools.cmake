# Read by cpack before it packs: without these tools it would make a package that declares no
# dependencies at all, with no more than a warning.
cmake_policy(SET CMP0109 NEW)
foreach(tool IN ITEMS dpkg-shlibdeps file)
  find_program(MAC2CP850_HAS_${tool} ${tool})
  if(NOT MAC2CP850_HAS_${tool})
    message(FATAL_ERROR "cpack needs ${tool}: apt-get install dpkg-dev file")
  endif()
endforeach()
