# Read by CPack once per generator. The Debian package documents itself with
# the copyright file and changelog that lintian looks for, instead of
# LICENSE; the tarball is a plain install and needs nothing here.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL programs manuals documents debian)
endif()
