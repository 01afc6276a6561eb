# Checks the layering of src/ (run as a test: cmake -DSOURCE_DIR=<repo> -P check_layering.cmake).
#
# 1. A file may include a project header only from its own layer or a layer before it:
#      kura/base < kura/storage < kura/expr < kura/engine < kura/sql < kura/dataset
#      < kura/widgets < korvane < tools
#    and inside the application
#      korvane/board < korvane/store < korvane/sgf < korvane/training < korvane/ui < korvane/shell
# 2. Qt headers (<Q...>, <Qt...>) appear only in the Qt parts: kura/widgets, korvane/ui,
#    korvane/shell, korvane/store, tools/kura-browse and the shared test helpers. A Qt-free
#    file may not include a test helper that includes Qt.
# 3. Only tests (*_test.cpp, *_test_support.h) and the test helpers include "testing/...".
# 4. A folder's internal header (*_internals.h) is included only from that folder and the
#    test helpers.
#
# Every violation is listed as "file: include line (reason)"; the test fails when there is one.

cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "check_layering: pass -DSOURCE_DIR=<repository root>")
endif()

set(layers kura/base kura/storage kura/expr kura/engine kura/sql kura/dataset kura/widgets korvane tools)
set(app_layers korvane/board korvane/store korvane/sgf korvane/training korvane/ui korvane/shell)
set(qt_folders kura/widgets korvane/ui korvane/shell korvane/store tools/kura-browse testing)

# The rank of a path relative to src/ in `list_name`, or -1 when no entry is its prefix.
function(rank_of path list_name out)
  set(rank -1)
  set(i 0)
  foreach(prefix IN LISTS ${list_name})
    if(path MATCHES "^${prefix}/")
      set(rank ${i})
    endif()
    math(EXPR i "${i} + 1")
  endforeach()
  set(${out} ${rank} PARENT_SCOPE)
endfunction()

function(in_qt_folder path out)
  set(result FALSE)
  foreach(prefix IN LISTS qt_folders)
    if(path MATCHES "^${prefix}/")
      set(result TRUE)
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}/src" "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp")
list(SORT files)

# Test helpers that include Qt themselves.
set(qt_testing_headers "")
foreach(file IN LISTS files)
  if(file MATCHES "^testing/")
    file(STRINGS "${SOURCE_DIR}/src/${file}" qt_lines REGEX "^[ \t]*#[ \t]*include[ \t]*<Qt?[A-Z]")
    if(qt_lines)
      list(APPEND qt_testing_headers "${file}")
    endif()
  endif()
endforeach()

set(violations "")
foreach(file IN LISTS files)
  rank_of("${file}" layers own_rank)
  rank_of("${file}" app_layers own_app_rank)
  in_qt_folder("${file}" own_qt)
  set(is_test FALSE)
  if(file MATCHES "_test\\.cpp$" OR file MATCHES "_test_support\\.h$" OR file MATCHES "^testing/")
    set(is_test TRUE)
  endif()

  file(STRINGS "${SOURCE_DIR}/src/${file}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "#[ \t]*include[ \t]*<(Qt?[A-Z][A-Za-z0-9_/]*)")
      if(NOT own_qt)
        list(APPEND violations "${file}: ${line} (Qt header outside the Qt parts)")
      endif()
    elseif(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(target "${CMAKE_MATCH_1}")
      if(target MATCHES "^testing/")
        if(NOT is_test)
          list(APPEND violations "${file}: ${line} (test helper included by product code)")
        elseif(NOT own_qt AND target IN_LIST qt_testing_headers)
          list(APPEND violations "${file}: ${line} (Qt test helper included by Qt-free code)")
        endif()
        continue()
      endif()
      if(target MATCHES "^(.*)/[^/]*_internals\\.h$")
        set(owner "${CMAKE_MATCH_1}")
        if(NOT file MATCHES "^${owner}/" AND NOT file MATCHES "^testing/")
          list(APPEND violations "${file}: ${line} (another folder's internal header)")
        endif()
      endif()
      rank_of("${target}" layers target_rank)
      if(target_rank EQUAL -1)
        continue()  # a header beside the file or outside the layered tree
      endif()
      if(own_rank EQUAL -1)
        continue()  # src/testing and other unlayered folders may use every layer
      endif()
      if(target_rank GREATER own_rank)
        list(APPEND violations "${file}: ${line} (includes a later layer)")
      elseif(own_app_rank GREATER -1)
        rank_of("${target}" app_layers target_app_rank)
        if(target_app_rank GREATER own_app_rank)
          list(APPEND violations "${file}: ${line} (includes a later part of the application)")
        endif()
      endif()
    endif()
  endforeach()
endforeach()

list(LENGTH files file_count)
if(violations)
  list(LENGTH violations count)
  foreach(v IN LISTS violations)
    message("layering: ${v}")
  endforeach()
  message(FATAL_ERROR "layering: ${count} include(s) break the layering of src/ (${file_count} files checked)")
endif()
message(STATUS "layering: ${file_count} files follow the layering of src/")
