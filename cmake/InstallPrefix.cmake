# Paths that the build takes from the install prefix: the paths the program is built with follow
# CMAKE_INSTALL_PREFIX unless set on their own.

# pelmor_prefix_path(VAR RELATIVE DOC): the cache variable VAR, PREFIX/RELATIVE. A value given
# with -D is kept across prefixes; one that the previous prefix gave, or an empty one, follows
# the prefix, so that re-configuring for another prefix leaves no path under the old one.
function(pelmor_prefix_path var relative doc)
  set(derived "${CMAKE_INSTALL_PREFIX}/${relative}")
  if("${${var}}" STREQUAL "" OR "${${var}}" STREQUAL "${PELMOR_DERIVED_${var}}")
    set(${var} "${derived}" CACHE FILEPATH "${doc}" FORCE)
  else()
    set(${var} "${${var}}" CACHE FILEPATH "${doc}")
  endif()
  set(PELMOR_DERIVED_${var} "${derived}" CACHE INTERNAL "${var} as the prefix gives it")
endfunction()
