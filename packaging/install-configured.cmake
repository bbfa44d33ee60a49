# Run by `cmake --install` (and so by CPack): installs the files that name installed paths, so
# that they name the prefix of this installation (`--prefix DIR`), not the configured one, and
# the files compressed as Debian's policy asks (man reads both forms).
# Set before: VALDANE_PACKAGING_DIR, VALDANE_WORK_DIR, VALDANE_EXAMPLE_CONFIG, the relative
# install folders VALDANE_BINDIR, VALDANE_SYSCONFDIR, VALDANE_MANDIR, VALDANE_DOCDIR, and the
# templates' PROJECT_VERSION and VALDANE_MAKER_URL.

# /usr is the system's own prefix: its configuration lives in /etc and, on Debian 12, its units
# in /lib. Any other prefix keeps both under itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(sysconfdir /etc)
    set(unitdir /lib/systemd/system)
else()
    set(sysconfdir ${CMAKE_INSTALL_PREFIX}/${VALDANE_SYSCONFDIR})
    set(unitdir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(bindir ${CMAKE_INSTALL_PREFIX}/${VALDANE_BINDIR})
set(docdir ${CMAKE_INSTALL_PREFIX}/${VALDANE_DOCDIR})
file(MAKE_DIRECTORY ${VALDANE_WORK_DIR})

# The template with its @names@ replaced, in the work folder.
function(valdane_configure template output)
    file(READ ${VALDANE_PACKAGING_DIR}/${template} text)
    string(CONFIGURE "${text}" text @ONLY)
    file(WRITE ${VALDANE_WORK_DIR}/${output} "${text}")
endfunction()

# gzip -9n: the smallest file, and no name or time in it, so that rebuilds give the same bytes.
function(valdane_install_gzipped file destination)
    get_filename_component(name ${file} NAME)
    execute_process(COMMAND gzip -9n -c ${file} OUTPUT_FILE ${VALDANE_WORK_DIR}/${name}.gz
                    COMMAND_ERROR_IS_FATAL ANY)
    file(INSTALL ${VALDANE_WORK_DIR}/${name}.gz DESTINATION ${destination})
endfunction()

# The system service reads its configuration from sysconfdir, so the example is installed there
# as the live file: the unit then starts on the safe defaults (loopback only) and dpkg keeps an
# administrator's edits across upgrades. The pristine copy in docdir is the reference for what
# was changed.
file(INSTALL ${VALDANE_EXAMPLE_CONFIG} DESTINATION ${sysconfdir}/valdane RENAME service.toml)
file(INSTALL ${VALDANE_EXAMPLE_CONFIG} DESTINATION ${docdir} RENAME service.toml.example)

valdane_configure(valdane-service.service.in valdane-service.service)
file(INSTALL ${VALDANE_WORK_DIR}/valdane-service.service DESTINATION ${unitdir})

foreach(page valdane.1 valdane-service.1)
    valdane_configure(${page}.in ${page})
    valdane_install_gzipped(${VALDANE_WORK_DIR}/${page} ${CMAKE_INSTALL_PREFIX}/${VALDANE_MANDIR}/man1)
endforeach()

file(INSTALL ${VALDANE_PACKAGING_DIR}/debian/copyright DESTINATION ${docdir})
valdane_install_gzipped(${VALDANE_PACKAGING_DIR}/debian/changelog ${docdir})
