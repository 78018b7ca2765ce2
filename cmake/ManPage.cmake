# Man pages and the package's changelog are installed compressed, as Debian
# policy asks; -n keeps the package reproducible (no name or time stamp in
# the gzip header).
function(lpfInstallCompressed source destination)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${compressed}
                     DEPENDS ${source} VERBATIM)
  add_custom_target(gzip-${name} ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${destination})
endfunction()

function(lpfInstallManPage page section)
  lpfInstallCompressed(${CMAKE_CURRENT_SOURCE_DIR}/${page} ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
