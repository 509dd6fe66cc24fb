# Run by CPack after it has built the packages. The debug package of CPack 3.25 names its
# files in md5sums by their path in the build tree, so `dpkg --verify` finds none of them,
# gives them the programs' modes, and has no documentation folder. Rebuilt here with all
# three mended; the symlink to the main package's folder is what Debian's own debug
# packages have.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-mend)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  # CPack keeps the programs' execute bits on their debug files, which are data.
  execute_process(COMMAND find usr/lib/debug -type f -exec chmod 0644 {} +
                  WORKING_DIRECTORY ${tree} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(
    COMMAND sh -c "find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum >DEBIAN/md5sums"
    WORKING_DIRECTORY ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${CPACK_PACKAGE_NAME} ${tree}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym
       SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${package}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
