# Install rules of the files around the program, and the Debian packages made
# from them with CPack (scripts/package.sh): keystrand-updater (the program,
# its man page, bash completion and udev rules) and keystrand-sim (the module
# simulator, for people without hardware).
set(KS_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "udev rules directory, relative to the prefix")
set(ks_doc_dir ${CMAKE_INSTALL_DATADIR}/doc)

# Debian wants the man page and the changelog compressed, reproducibly.
set(ks_pkg_out ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${ks_pkg_out})
foreach(src man/Updater.1 man/keystrand-sim.1 debian/changelog)
    get_filename_component(name ${src} NAME)
    add_custom_command(
        OUTPUT ${ks_pkg_out}/${name}.gz
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/${src} > ${ks_pkg_out}/${name}.gz
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${src}
        VERBATIM)
    list(APPEND ks_pkg_files ${ks_pkg_out}/${name}.gz)
endforeach()
add_custom_target(ks_packaging_files ALL DEPENDS ${ks_pkg_files})

install(FILES ${ks_pkg_out}/Updater.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT updater)
if(TARGET keystrand-sim)
    install(FILES ${ks_pkg_out}/keystrand-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/Updater
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT updater)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-keystrand.rules
    DESTINATION ${KS_UDEV_RULES_DIR} COMPONENT updater)
set(ks_packages updater:keystrand-updater)
if(TARGET keystrand-sim)
    list(APPEND ks_packages sim:keystrand-sim)
endif()
foreach(component_package IN LISTS ks_packages)
    string(REPLACE ":" ";" pair ${component_package})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${ks_pkg_out}/changelog.gz
        DESTINATION ${ks_doc_dir}/${package} COMPONENT ${component})
    list(APPEND CPACK_COMPONENTS_ALL ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keystrand-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillmar")
set(CPACK_PACKAGE_CONTACT "Keystrand updater team <updater@keystrand.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://updates.keystrand.example/")
set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME keystrand-updater)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME keystrand-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# The simulator's USB bench preloads umockdev's library by name, which the
# computed library dependencies cannot see; the bench needs it on a clean
# install. CPack appends the computed ones to this.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "umockdev")
# CPack indents the lines after the summary itself.
set(CPACK_COMPONENT_UPDATER_DESCRIPTION "Firmware updater for Keystrand modules
Updater discovers Keystrand modules on USB, on the local network and behind
router modules, downloads firmware builds from the update server into a
per-user store, writes firmware into running modules over their packet link,
and recovers modules with dead firmware through the ROM bootloader of their
NXP LPC or i.MX chip.")
set(CPACK_COMPONENT_SIM_DESCRIPTION "Simulated Keystrand modules for trying the updater
keystrand-sim serves simulated Keystrand modules, routers and dead modules in
ROM bootloader mode on TCP/IP, serial pseudo-terminals and an emulated USB
bus, so that the updater can be tried and tested without hardware.")
include(CPack)
