# What the Linux program installs, and its Debian package made by CPack from this build tree
# ("cpack -G DEB"; packaging/debian/make-package), so the package needs no second compile.
set(QUELMA_DEBIAN ${PROJECT_SOURCE_DIR}/packaging/debian)
set(QUELMA_DOC_DIR share/doc/quelma)

install(TARGETS quelma RUNTIME DESTINATION sbin)
# The unit goes where Debian's systemd looks for the units of packages, whatever the prefix.
install(FILES ${QUELMA_DEBIAN}/quelma.service DESTINATION /lib/systemd/system)

# Man pages and the larger documents compressed as Debian keeps them (gzip -n: no time stamp,
# so the same sources give the same package); a man page's @VERSION@ becomes the version.
set(QUELMA_COMPRESSED)
# The package is the project's own (a native Debian package, version without a Debian
# revision): its changelog is changelog.gz, as lintian expects of such a package.
foreach(pair "docs/man/quelma.8;share/man/man8;quelma.8" "docs/man/quelma.cfg.5;share/man/man5;quelma.cfg.5"
             "README.md;${QUELMA_DOC_DIR};README.md" "packaging/debian/changelog;${QUELMA_DOC_DIR};changelog")
  list(GET pair 0 source)
  list(GET pair 1 destination)
  list(GET pair 2 name)
  set(output ${CMAKE_BINARY_DIR}/package_files/${name}.gz)
  add_custom_command(OUTPUT ${output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package_files
                     COMMAND sh -c "sed \"s/@VERSION@/$2/\" \"$0\" | gzip -9 -n > \"$1\""
                             ${PROJECT_SOURCE_DIR}/${source} ${output} ${QUELMA_VERSION}
                     DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND QUELMA_COMPRESSED ${output})
  install(FILES ${output} DESTINATION ${destination})
endforeach()
add_custom_target(quelma_package_files ALL DEPENDS ${QUELMA_COMPRESSED})
install(FILES ${QUELMA_DEBIAN}/copyright DESTINATION ${QUELMA_DOC_DIR})
install(FILES ${QUELMA_DEBIAN}/dialup.conf ${QUELMA_DEBIAN}/quelma-backup.service ${QUELMA_DEBIAN}/quelma-backup.timer
        DESTINATION ${QUELMA_DOC_DIR}/examples)
install(FILES ${QUELMA_DEBIAN}/README.Debian DESTINATION ${QUELMA_DOC_DIR})

# make-package builds before it packs: CPack's own install need not walk every target again.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelma)
set(CPACK_PACKAGE_VERSION ${QUELMA_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail server for a small office behind one provider")
# The long description; CPack puts the summary above it and indents each line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Local mail programs hand mail in over SMTP and collect it over POP3.
Communication sessions upload the outgoing queue to the provider's SMTP
server and download the provider's POP3 accounts, sorting that mail into
local maildrops by header rules; TLS and OAuth 2.0 logins to the provider,
dial-up through pppd or the network.

The package runs it as the systemd service quelma, user quelma, with its
settings and mail in /var/lib/quelma.")
# The maintainer address is the project's packaging address, the same as in the changelog.
set(CPACK_PACKAGE_CONTACT "Quelmar Mail Server developers <packages@quelmar.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QUELMA_DEBIAN}/postinst ${QUELMA_DEBIAN}/prerm ${QUELMA_DEBIAN}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
