# Holds the layers: fails the build when a file includes a header of a layer above its own.
#   cmake -DROOT=<source dir> -DSTAMP=<file written when every include is in order> -P check_layers.cmake
#
# A folder may include its own headers and those of the folders named for it below; the program's
# entries (app/), the tests, the fuzz targets and the benchmarks sit above everything. "host" is the
# host interface: the headers at the top of host/, not the forms in its folders.
set(below_support "support")
set(below_host "support;host")
set(below_registry "support;host;registry")
set(below_logic "support;host;config;driver;log;restore")
set(below_copy "support;host;copy;host/posix/unique_fd.h")
set(below_posix "support;host;host/posix;registry;copy")
set(below_windows "support;host;host/windows")
set(layers
  "support=below_support" "host=below_host" "registry=below_registry" "config=below_logic"
  "driver=below_logic" "log=below_logic" "restore=below_logic" "copy=below_copy"
  "host/posix=below_posix" "host/windows=below_windows")

set(faults "")
foreach(layer IN LISTS layers)
  string(REPLACE "=" ";" pair "${layer}")
  list(GET pair 0 folder)
  list(GET pair 1 allowed_name)
  set(allowed "${${allowed_name}}")
  if(folder STREQUAL "host")
    file(GLOB files "${ROOT}/host/*.h")
  else()
    file(GLOB files "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.cpp")
  endif()
  foreach(file IN LISTS files)
    file(STRINGS "${file}" includes REGEX "^#include \"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]*)\".*" "\\1" header "${line}")
      set(in_order FALSE)
      foreach(below IN LISTS allowed)
        if(header STREQUAL below OR header MATCHES "^${below}/[^/]+$")
          set(in_order TRUE)
        endif()
      endforeach()
      if(NOT in_order)
        file(RELATIVE_PATH name "${ROOT}" "${file}")
        string(APPEND faults "\n  ${name} includes ${header}, a layer above ${folder}/")
      endif()
    endforeach()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "Includes out of layer order:${faults}")
endif()
file(TOUCH "${STAMP}")
