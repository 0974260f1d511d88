# Run by CPack while it stages the .deb (DESTDIR is the staging directory):
# Debian's copyright and changelog, which a plain `cmake --install` has no
# use for.
file(INSTALL ${CPACK_TASTLINK_DEBIAN_DOC}/copyright ${CPACK_TASTLINK_DEBIAN_DOC}/changelog.gz
     DESTINATION ${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_TASTLINK_DOCDIR}
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
