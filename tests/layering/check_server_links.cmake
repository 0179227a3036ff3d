# Fails when a server program needs libcurl or Qt at run time.
#   cmake -DPROGRAMS=<program;...> -P check_server_links.cmake
cmake_minimum_required(VERSION 3.25)
foreach(program ${PROGRAMS})
  execute_process(COMMAND ldd ${program} OUTPUT_VARIABLE libs RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ldd ${program} failed")
  endif()
  if(libs MATCHES "libcurl|libQt")
    message(FATAL_ERROR "${program} links a library it must not:\n${libs}")
  endif()
endforeach()
message(STATUS "The servers link no HTTP client and no Qt")
