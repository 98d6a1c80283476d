# The daemon's include check: a folder of daemon/ may include the headers of its own folder and
# of the folders its library links (target_link_libraries), nothing else, and the links go one
# way. Prints which folders each folder includes; fails on a back edge.
#
#   cmake -DDAEMON_DIR=<daemon/> -DLAYERS=<folder:dep,dep|folder:...> -P check_layers.cmake
#
# LAYERS comes from the build (daemon/CMakeLists.txt), whose libraries are named quorvin_<folder>;
# every folder of daemon/ must be in it.

cmake_minimum_required(VERSION 3.25)

if(NOT DAEMON_DIR OR NOT DEFINED LAYERS)
  message(FATAL_ERROR "usage: cmake -DDAEMON_DIR=... -DLAYERS=... -P check_layers.cmake")
endif()

set(folders)
string(REPLACE "|" ";" entries "${LAYERS}")
foreach(entry ${entries})
  string(FIND "${entry}" ":" colon)
  if(colon LESS 1)
    message(FATAL_ERROR "layer entry '${entry}' is not folder:deps")
  endif()
  string(SUBSTRING "${entry}" 0 ${colon} folder)
  math(EXPR start "${colon} + 1")
  string(SUBSTRING "${entry}" ${start} -1 deps)
  string(REPLACE "," ";" deps "${deps}")
  list(TRANSFORM deps REPLACE "^quorvin_" "")
  list(APPEND folders ${folder})
  set(declared_${folder} ${deps})
endforeach()

set(failures 0)

# Every folder holding sources is a layer of its own.
file(GLOB children LIST_DIRECTORIES true RELATIVE ${DAEMON_DIR} ${DAEMON_DIR}/*)
foreach(child ${children})
  if(IS_DIRECTORY ${DAEMON_DIR}/${child} AND NOT child IN_LIST folders)
    message(NOTICE "daemon/${child} has no library: declare it with the folders it links")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

# The declared links must form no cycle (CMake links static libraries in a cycle without a word).
# Depth-first, with the path so far.
function(visit folder path)
  if(folder IN_LIST path)
    list(APPEND path ${folder})
    string(REPLACE ";" " -> " text "${path}")
    message(NOTICE "the libraries link in a cycle: ${text}")
    set(cycle_found TRUE PARENT_SCOPE)
    return()
  endif()
  list(APPEND path ${folder})
  foreach(dep ${declared_${folder}})
    visit(${dep} "${path}")
    if(cycle_found)
      set(cycle_found TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()
foreach(folder ${folders})
  set(cycle_found FALSE)
  visit(${folder} "")
  if(cycle_found)
    math(EXPR failures "${failures} + 1")
    break()
  endif()
endforeach()

# Each quoted include whose first component names a folder of the daemon.
foreach(folder ${folders})
  set(included_${folder})
  file(GLOB sources ${DAEMON_DIR}/${folder}/*.h ${DAEMON_DIR}/${folder}/*.cc)
  foreach(source ${sources})
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+" target "${header}")
      if(NOT target IN_LIST folders OR target STREQUAL folder)
        continue()
      endif()
      list(APPEND included_${folder} ${target})
      if(NOT target IN_LIST declared_${folder})
        file(RELATIVE_PATH shown ${DAEMON_DIR}/.. ${source})
        message(NOTICE "${shown} includes \"${header}\": ${folder} does not link ${target}")
        math(EXPR failures "${failures} + 1")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES included_${folder})
  list(SORT included_${folder})
endforeach()

message("folder     includes")
foreach(folder ${folders})
  string(REPLACE ";" ", " text "${included_${folder}}")
  if(text STREQUAL "")
    set(text "(nothing of the daemon)")
  endif()
  string(LENGTH "${folder}" length)
  math(EXPR pad "11 - ${length}")
  string(REPEAT " " ${pad} spaces)
  message("${folder}${spaces}${text}")
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} layering fault(s)")
endif()
