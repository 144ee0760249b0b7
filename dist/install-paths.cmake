# Run by "cmake --install" and by cpack, after the files of fixed places: the
# paths that depend on the prefix are settled when installing, not when
# configuring. cpack installs under /usr whatever prefix the build was
# configured with, and a package must name the paths it holds.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(CMAKE_INSTALL_FULL_SYSCONFDIR /etc)
else()
    set(CMAKE_INSTALL_FULL_SYSCONFDIR ${CMAKE_INSTALL_PREFIX}/etc)
endif()
set(CMAKE_INSTALL_FULL_SBINDIR ${CMAKE_INSTALL_PREFIX}/${QUORIX_SBINDIR})
set(CMAKE_INSTALL_FULL_DATADIR ${CMAKE_INSTALL_PREFIX}/${QUORIX_DATADIR})
file(INSTALL ${QUORIX_SOURCE_DIR}/dist/ntp-quorix.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR})
file(MAKE_DIRECTORY $ENV{DESTDIR}${CMAKE_INSTALL_FULL_SYSCONFDIR}/ntp-quorix.d)
foreach(unit ntp-quorix ntp-quorix-once)
    configure_file(${QUORIX_SOURCE_DIR}/dist/systemd/${unit}.service.in ${QUORIX_BINARY_DIR}/units/${unit}.service
        @ONLY)
    file(INSTALL ${QUORIX_BINARY_DIR}/units/${unit}.service DESTINATION ${QUORIX_SYSTEMD_UNITDIR})
endforeach()
