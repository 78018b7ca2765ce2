# Man pages are installed compressed, as Debian policy asks; -n keeps the
# package reproducible (no name or time stamp in the gzip header).
function(lpfInstallManPage page section)
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page})
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${compressed}
                     DEPENDS ${source} VERBATIM)
  add_custom_target(${page}.gz ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
