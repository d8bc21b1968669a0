# What gets installed, and the packages CPack makes of it: on Linux a
# Debian package laid out as Debian's policy asks (compressed manual page
# and changelog, the licence as a machine-readable copyright file, a
# stripped program); for Windows a zip with the program, the README and the
# licence as text files with CR LF line ends, which Notepad shows.
set(WEBHAUL_PACKAGE_FILES ${PROJECT_BINARY_DIR}/package-files)
file(MAKE_DIRECTORY ${WEBHAUL_PACKAGE_FILES})
# The generated files below are written at configure time; these re-run it.
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md)

# Writes the text of file source to target with every line ended by CR LF.
function(webhaul_write_crlf source target)
  file(READ ${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${target} "${text}")
endfunction()

# Writes Debian's machine-readable copyright file, its licence paragraph
# taken from LICENSE (the text after the copyright line) so the two never
# differ.
function(webhaul_write_debian_copyright target)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(FIND "${license}" "Permission is hereby granted" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "LICENSE does not hold the MIT licence text")
  endif()
  string(SUBSTRING "${license}" ${start} -1 terms)
  string(STRIP "${terms}" terms)
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " terms "${terms}")
  file(WRITE ${target} "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: webhaul
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 webhaul maintainers
License: Expat
 ${terms}
")
endfunction()

# Adds to the build a copy of source compressed as Debian wants it (gzip
# -9n: best compression, no file name or time stamp, so the same input
# always gives the same bytes) and returns its path in out.
function(webhaul_gzip out source)
  get_filename_component(name ${source} NAME)
  set(plain ${WEBHAUL_PACKAGE_FILES}/${name})
  add_custom_command(OUTPUT ${plain}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND ${WEBHAUL_GZIP} -9nf ${plain}
    DEPENDS ${source}
    VERBATIM)
  set(${out} ${plain}.gz PARENT_SCOPE)
endfunction()

set(CPACK_PACKAGE_NAME webhaul)
set(CPACK_PACKAGE_CONTACT "webhaul maintainers <webhaul@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  webhaul_write_crlf(${PROJECT_SOURCE_DIR}/README.md ${WEBHAUL_PACKAGE_FILES}/README.txt)
  webhaul_write_crlf(${PROJECT_SOURCE_DIR}/LICENSE ${WEBHAUL_PACKAGE_FILES}/LICENSE.txt)
  install(TARGETS webhaul RUNTIME DESTINATION .)
  install(FILES ${WEBHAUL_PACKAGE_FILES}/README.txt ${WEBHAUL_PACKAGE_FILES}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  find_program(WEBHAUL_GZIP gzip REQUIRED)
  webhaul_gzip(manPage ${PROJECT_SOURCE_DIR}/docs/webhaul.1)
  webhaul_gzip(changelog ${PROJECT_SOURCE_DIR}/docs/changelog)
  add_custom_target(webhaul_compressed_docs ALL DEPENDS ${manPage} ${changelog})
  webhaul_write_debian_copyright(${WEBHAUL_PACKAGE_FILES}/copyright)

  install(TARGETS webhaul RUNTIME DESTINATION bin)
  # A stripped install (the package's) also drops the compiler's version
  # comments, as Debian's own stripping does.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/webhaul\" RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR \"${CMAKE_OBJCOPY} failed on the installed program\")
      endif()
    endif()")
  install(FILES ${manPage} DESTINATION share/man/man1)
  install(FILES ${WEBHAUL_PACKAGE_FILES}/copyright ${changelog} DESTINATION share/doc/webhaul)
  # The program's usage text is kept word for word, spelling included;
  # lintian is told so here.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/lintian-overrides
    DESTINATION share/lintian/overrides RENAME webhaul)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "webhaul makes one HTTP/1.0 request, plain or over TLS, to a web server
and stores the body of the reply in a local file. When the transfer breaks
it resumes with a byte range, or starts over, and its exit status tells
how it went.")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # libssl3 is loaded at run time for https, where dpkg-shlibdeps cannot
  # see it; the rest is what the program links.
  find_program(WEBHAUL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(WEBHAUL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libssl3")
  endif()
endif()
include(CPack)
