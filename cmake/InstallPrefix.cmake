# What names the install prefix: the paths the program is built with, which follow
# CMAKE_INSTALL_PREFIX unless set on their own, and the scripts and sample that are written with
# the prefix filled in, into the build tree when configured and under the prefix when installed.

# The files written with their placeholders filled in: the source, the folder under the prefix
# (and under the build tree), and whether it is a script to run.
set(PELMOR_PREFIXED_FILES
  "rc.d/pelmor_sign:etc/rc.d:script"
  "periodic/security/450.pelmor-sign:etc/periodic/security:script"
  "packaging/freebsd/pelmor-sign.ucl:share/pkg/triggers:data"
  "etc/pelmor-sign.json.sample:etc:data")

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

# pelmor_write_prefixed_files(SOURCE_DIR ROOT PREFIX TRUSTED_KEY SERIAL_FILE KEYS_FILE [WRITTEN]):
# writes each file under ROOT with %%PREFIX%% and the program's paths filled in, replacing one
# whose text differs (a link is replaced, never written through); WRITTEN gets their paths. A
# placeholder left unfilled stops the build: the script would fail only on the host.
function(pelmor_write_prefixed_files source_dir root prefix trusted_key serial_file keys_file)
  set(written "")
  foreach(entry IN LISTS PELMOR_PREFIXED_FILES)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 source)
    list(GET entry 1 folder)
    list(GET entry 2 kind)
    file(READ "${source_dir}/${source}" text)
    string(REPLACE "%%PELMOR_TRUSTED_KEY%%" "${trusted_key}" text "${text}")
    string(REPLACE "%%PELMOR_SERIAL_FILE%%" "${serial_file}" text "${text}")
    string(REPLACE "%%PELMOR_KEYS_FILE%%" "${keys_file}" text "${text}")
    string(REPLACE "%%PREFIX%%" "${prefix}" text "${text}")
    if(text MATCHES "%%[A-Z_]+%%")
      message(FATAL_ERROR "${source} holds ${CMAKE_MATCH_0}, which the build does not fill in")
    endif()
    get_filename_component(name "${source}" NAME)
    set(path "${root}/${folder}/${name}")
    set(old "")
    if(EXISTS "${path}" AND NOT IS_SYMLINK "${path}")
      file(READ "${path}" old)
    endif()
    if(NOT "${old}" STREQUAL "${text}" OR IS_SYMLINK "${path}")
      file(REMOVE "${path}")
      file(WRITE "${path}" "${text}")
    endif()
    set(permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    if(kind STREQUAL "script")
      list(APPEND permissions OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
    endif()
    file(CHMOD "${path}" PERMISSIONS ${permissions})
    list(APPEND written "${path}")
  endforeach()
  if(ARGC GREATER 6)
    set(${ARGV6} "${written}" PARENT_SCOPE)
  endif()
endfunction()

# pelmor_install_prefixed_files(SOURCE_DIR BUILT_PREFIX CONFIG_FILE TRUSTED_KEY SERIAL_FILE
# KEYS_FILE MANIFEST_FILE):
# run by `cmake --install`, writes the files under the prefix installed to (CMAKE_INSTALL_PREFIX
# there is --prefix, or the configured one), in DESTDIR when set. The program's own paths were
# fixed when it was built: installed under another prefix, it still uses them, and the scripts
# name them as it does, since a boot script that named another key or serial record would see
# every load refused under enforce. The warning says so.
function(pelmor_install_prefixed_files source_dir built_prefix config_file trusted_key
         serial_file keys_file manifest_file)
  set(fixed "")
  foreach(path IN ITEMS "${config_file}" "${trusted_key}" "${keys_file}" "${manifest_file}")
    string(FIND "${path}" "${built_prefix}/" at)
    if(at EQUAL 0)
      list(APPEND fixed "${path}")
    endif()
  endforeach()
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL built_prefix AND fixed)
    list(POP_BACK fixed last)
    list(JOIN fixed ", " fixed)
    if(fixed)
      set(fixed "${fixed} and ${last}")
    else()
      set(fixed "${last}")
    endif()
    message(WARNING "pelmor-sign was built for the prefix ${built_prefix}: installed under "
                    "${CMAKE_INSTALL_PREFIX}, it still uses ${fixed}. Configure the build with "
                    "-DCMAKE_INSTALL_PREFIX=${CMAKE_INSTALL_PREFIX} to install one that uses "
                    "this prefix.")
  endif()
  pelmor_write_prefixed_files("${source_dir}" "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}"
                              "${CMAKE_INSTALL_PREFIX}" "${trusted_key}" "${serial_file}"
                              "${keys_file}" written)
  foreach(path IN LISTS written)
    message(STATUS "Installing: ${path}")
  endforeach()
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} ${written} PARENT_SCOPE)
endfunction()
