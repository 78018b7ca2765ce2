# A Debian package of the three tools and their man pages. Built from the board
# build, it is the package for the board: static binaries, no dependencies.
# Its changelog, copyright and lintian overrides are in cmake/debian.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lpf-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LED and low-pass filter tools for the SoC FPGA board")
# Lines of at most 80 columns, as lintian wants them.
set(CPACK_PACKAGE_DESCRIPTION "Tools for the LED port and the LPf low-pass filter core that sit behind the
lightweight processor-to-FPGA bridge of the board:
 - lpfconsole, an interactive console of their registers;
 - ledset, which sets or clears the LEDs;
 - lpfscope, a read-only live view and CSV recorder of the registers.
All map physical memory through /dev/mem and need root.")
set(CPACK_PACKAGE_CONTACT "lpf developers <lpf-developers@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_STRIP_FILES ON)
if(LPF_STATIC_LINK)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME})
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# CPack would take the build machine's architecture.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|ARM)")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()

# The changelog's newest entry is the version being packaged.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog lpfNewestEntry LIMIT_COUNT 1)
if(NOT lpfNewestEntry MATCHES "^${CPACK_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog must begin with an entry for ${CPACK_PACKAGE_NAME} ${PROJECT_VERSION}, "
                      "not: ${lpfNewestEntry}")
endif()
set(lpfDocDir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
lpfInstallCompressed(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${lpfDocDir})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION ${lpfDocDir})
include(CPack)
