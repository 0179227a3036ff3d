# Fails when a file of a folder includes a header of a folder it may not see.
#   cmake -DSOURCE_DIR=<source tree> -P check_includes.cmake
# Each folder may include its own headers and those of the folders below it.
cmake_minimum_required(VERSION 3.25)

set(allowed_common     common)
set(allowed_tasks      common tasks)
set(allowed_syncqueue  common tasks syncqueue)
set(allowed_repository common tasks syncqueue repository)
set(allowed_signing    common signing)
set(allowed_cloud      common signing cloud)
set(allowed_sync       common tasks syncqueue repository cloud sync)
set(allowed_app        common tasks app)
set(allowed_cli        common tasks syncqueue repository cloud sync app cli)
set(allowed_tools      common tasks syncqueue package)
set(allowed_platform   common platform)
set(allowed_package    common package)
set(allowed_desktop    common tasks syncqueue repository cloud sync app platform package desktop)
# The upgrade program stands beside the task list: none of its core.
set(allowed_upgrader   common platform package upgrader)
set(folders common tasks syncqueue repository signing cloud sync app cli tools platform package
            desktop upgrader server)
# Folders below the Qt line: no Qt header at all.
set(qt_free common tasks syncqueue repository signing cloud sync app cli tools package)
# The servers: the signing shared with the client, none of the client itself;
# the version record reader (platform/OtVersionInfo.h, no Qt) for what publish packs.
set(allowed_server     common signing package platform)

set(src_folders)
file(GLOB entries LIST_DIRECTORIES true ${SOURCE_DIR}/src/*)
foreach(e ${entries})
  if(IS_DIRECTORY ${e})
    get_filename_component(name ${e} NAME)
    list(APPEND src_folders ${name})
  endif()
endforeach()

set(errors "")
# server/ sits beside src/ and is checked like a folder of it.
set(checked ${src_folders} server)
foreach(folder ${checked})
  if(NOT folder IN_LIST folders)
    # A folder without a rule (a new layer) may include nothing that has one.
    set(allowed_${folder} ${folder})
  endif()
  if(folder STREQUAL "server")
    set(dir ${SOURCE_DIR}/server)
  else()
    set(dir ${SOURCE_DIR}/src/${folder})
  endif()
  file(GLOB_RECURSE files ${dir}/*.h ${dir}/*.cpp)
  foreach(f ${files})
    file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[A-Za-z_]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([A-Za-z_]+)/.*" "\\1" target "${line}")
      if(target IN_LIST src_folders AND NOT target IN_LIST allowed_${folder})
        file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
        string(APPEND errors "${rel}: ${folder} may not include ${target}/ (${line})\n")
      endif()
    endforeach()
    if(folder IN_LIST qt_free OR folder STREQUAL "server")
      file(STRINGS ${f} qt_includes REGEX "^[ \t]*#[ \t]*include[ \t]+<Q")
      foreach(line ${qt_includes})
        file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
        string(APPEND errors "${rel}: ${folder} is below the Qt line (${line})\n")
      endforeach()
    endif()
  endforeach()
endforeach()

if(errors)
  message(FATAL_ERROR "Includes against the layer order:\n${errors}")
endif()
message(STATUS "Includes follow the layer order")
