# Install layout and the Debian package (Linux builds only).
#
#   <prefix>/lib/zarn/ZarnHDIPCapture.so   the plug-in, where zarnhost (bin/../lib/zarn/) finds it
#   <prefix>/bin/zarnhost, zarncam         the reference host and the camera simulator
#   <prefix>/include/zarn/*.h              the host interfaces, for people who write a host
#   <prefix>/share/doc/zarn-hd-ip-capture  README, architecture notes, the simulator's notes
#   <prefix>/share/man/man1/zarnhost.1, zarncam.1   manual pages made from the programs' --help
#   <prefix>/share/bash-completion/completions/zarnhost, zarncam   bash completion
#
# `cmake --install build --prefix DIR` installs it; `cpack` in the build folder makes the .deb.

set(ZARN_PACKAGE_NAME zarn-hd-ip-capture)
set(ZARN_DOC_DIR share/doc/${ZARN_PACKAGE_NAME})

install(TARGETS ZarnHDIPCapture LIBRARY DESTINATION lib/zarn)
if(TARGET zarnhost AND TARGET zarncam)
  install(TARGETS zarnhost zarncam RUNTIME DESTINATION bin)
  # A manual page for each program, made at build time from its own --help, and bash completion.
  set(ZARN_MAN_SUMMARY_zarnhost "reference host of the Zarn HD IP capture driver")
  set(ZARN_MAN_SUMMARY_zarncam "simulated Zarn HD IP camera on 127.0.0.1")
  set(ZARN_MAN_HELP_zarnhost --help-all)
  set(ZARN_MAN_HELP_zarncam --help)
  set(ZARN_MAN_PAGES)
  foreach(program zarnhost zarncam)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
        "-DSUMMARY=${ZARN_MAN_SUMMARY_${program}}" -DHELP_FLAG=${ZARN_MAN_HELP_${program}}
        -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page} -P ${CMAKE_SOURCE_DIR}/cmake/help-to-man.cmake
      DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/help-to-man.cmake
      COMMENT "Writing the manual page of ${program} from its --help")
    list(APPEND ZARN_MAN_PAGES ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${ZARN_MAN_PAGES})
  install(FILES ${ZARN_MAN_PAGES} DESTINATION share/man/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/host/zarnhost.bash-completion
    DESTINATION share/bash-completion/completions RENAME zarnhost)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/camsim/zarncam.bash-completion
    DESTINATION share/bash-completion/completions RENAME zarncam)
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/zarn DESTINATION include FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${ZARN_DOC_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION ${ZARN_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/tools/camsim/README.md DESTINATION ${ZARN_DOC_DIR}
  RENAME zarncam.md)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZARN_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZarnHDIPCapture developers")
set(CPACK_PACKAGE_CONTACT "ZarnHDIPCapture developers <zarn-dev@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture driver plug-in for Zarn HD IP cameras, with a reference host")
set(CPACK_PACKAGE_DESCRIPTION
  "ZarnHDIPCapture.so is the plug-in a video recording server loads to receive live H.264 video \
from Zarn HD IP cameras, steer their pan/tilt/zoom heads, keep presets and query what a camera \
offers. The package also holds zarnhost, the reference host that loads the plug-in as a \
recording server does (live video to Matroska or MP4, PTZ, presets, capability query, a live \
table of many cameras), zarncam, a simulated camera, and the C++ headers of the host interfaces.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the shared libraries the plug-in and the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)

# The install layout and the installed zarnhost finding its plug-in, checked as part of the suite.
if(ZARN_BUILD_TESTS AND TARGET zarnhost AND TARGET zarncam)
  add_test(NAME install COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-install.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(install PROPERTIES LABELS install TIMEOUT 120)
endif()
