# The Windows package: a .zip with the 32-bit and the 64-bit ZarnHDIPCapture.dll, zarnhost.exe
# beside each (the reference host, to check a camera with), the import list of each DLL
# (objdump -p) and the README's Windows section. Made only when `make windows` has built
# both DLLs; otherwise it says so and does nothing.
#
#   cmake -DSOURCE_DIR=<source folder> -DOUTPUT_DIR=<folder for the .zip> -P cmake/windows-zip.cmake

if(NOT SOURCE_DIR)
  set(SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
endif()
if(NOT OUTPUT_DIR)
  set(OUTPUT_DIR ${SOURCE_DIR}/build)
endif()
get_filename_component(SOURCE_DIR ${SOURCE_DIR} ABSOLUTE)
get_filename_component(OUTPUT_DIR ${OUTPUT_DIR} ABSOLUTE)

set(arches win32 win64)
set(win32_tool i686-w64-mingw32-objdump)
set(win64_tool x86_64-w64-mingw32-objdump)
foreach(arch ${arches})
  set(${arch}_dll ${SOURCE_DIR}/build-${arch}/ZarnHDIPCapture.dll)
  if(NOT EXISTS ${${arch}_dll})
    message(STATUS "Windows package skipped: build-${arch}/ZarnHDIPCapture.dll is missing (make windows builds both DLLs)")
    return()
  endif()
endforeach()

# The version the Windows builds were configured with.
file(STRINGS ${SOURCE_DIR}/build-win32/CMakeCache.txt version_line REGEX "^CMAKE_PROJECT_VERSION:")
string(REGEX REPLACE "^[^=]*=" "" version "${version_line}")
if(version STREQUAL "")
  set(version 0)
endif()

set(name ZarnHDIPCapture-${version}-windows)
set(stage ${OUTPUT_DIR}/${name})
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})

foreach(arch ${arches})
  find_program(objdump_${arch} NAMES ${${arch}_tool} objdump)
  if(NOT objdump_${arch})
    message(FATAL_ERROR "Windows package: no ${${arch}_tool} (install binutils-mingw-w64)")
  endif()
  execute_process(COMMAND ${objdump_${arch}} -p ${${arch}_dll}
    OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Windows package: ${objdump_${arch}} -p ${${arch}_dll} failed")
  endif()
  # From "The Import Tables" to the next table objdump prints.
  string(FIND "${headers}" "The Import Tables" begin)
  if(begin EQUAL -1)
    message(FATAL_ERROR "Windows package: ${${arch}_dll} has no import table")
  endif()
  string(SUBSTRING "${headers}" ${begin} -1 imports)
  string(FIND "${imports}" "\nThe " end)
  if(NOT end EQUAL -1)
    string(SUBSTRING "${imports}" 0 ${end} imports)
  endif()
  file(MAKE_DIRECTORY ${stage}/${arch})
  file(COPY ${${arch}_dll} DESTINATION ${stage}/${arch})
  if(EXISTS ${SOURCE_DIR}/build-${arch}/zarnhost.exe)
    file(COPY ${SOURCE_DIR}/build-${arch}/zarnhost.exe DESTINATION ${stage}/${arch})
  else()
    message(STATUS "Windows package: build-${arch}/zarnhost.exe is missing (make windows builds it)")
  endif()
  file(WRITE ${stage}/${arch}/imports.txt
    "Import list of ${arch}/ZarnHDIPCapture.dll (objdump -p)\n\n${imports}\n")
endforeach()

# The README's Windows section: from its "## ...Windows..." heading to the next "## " heading.
file(READ ${SOURCE_DIR}/README.md readme)
string(REGEX MATCH "\n## [^\n]*Windows[^\n]*\n" heading "\n${readme}")
if(heading STREQUAL "")
  message(FATAL_ERROR "Windows package: README.md has no \"## ... Windows ...\" section")
endif()
string(FIND "\n${readme}" "${heading}" begin)
string(SUBSTRING "\n${readme}" ${begin} -1 section)
string(SUBSTRING "${section}" 1 -1 section)
string(FIND "${section}" "\n## " end)
if(NOT end EQUAL -1)
  string(SUBSTRING "${section}" 0 ${end} section)
endif()
file(WRITE ${stage}/README-windows.md "${section}\n")

file(REMOVE ${OUTPUT_DIR}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT_DIR}/${name}.zip --format=zip ${name}
  WORKING_DIRECTORY ${OUTPUT_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Windows package: cannot write ${OUTPUT_DIR}/${name}.zip")
endif()
file(REMOVE_RECURSE ${stage})
message(STATUS "Windows package: ${OUTPUT_DIR}/${name}.zip")
