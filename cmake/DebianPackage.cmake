# The Debian package: `cpack -G DEB` in a build folder (scripts/package.sh does it all) makes
# tonewharf_<version>_<arch>.deb of the installed tree under /usr.
function(tonewharf_listed_packages header result)
    file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/packages.txt lines)
    set(section "")
    set(packages)
    foreach(line IN LISTS lines)
        string(STRIP "${line}" line)
        if(line MATCHES "^#")
            set(section "${line}")
        elseif(line AND section STREQUAL "# ${header}")
            list(APPEND packages ${line})
        endif()
    endforeach()
    if(NOT packages)
        message(FATAL_ERROR "scripts/packages.txt lists nothing under \"# ${header}\"")
    endif()
    list(JOIN packages ", " joined)
    set(${result} "${joined}" PARENT_SCOPE)
endfunction()

tonewharf_listed_packages("package depends" CPACK_DEBIAN_PACKAGE_DEPENDS)
tonewharf_listed_packages("package recommends" CPACK_DEBIAN_PACKAGE_RECOMMENDS)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/packages.txt)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tonewharf)
set(CPACK_PACKAGE_VENDOR quillfen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tonewharf developers <tonewharf@quillfen.invalid>" CACHE STRING
    "The maintainer named in the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "carries colour looks between TINTARA and DaVinci Resolve")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
Tonewharf is a tray agent for a colourist's computer. Looks made in
TINTARA on an iPad arrive through the cloud or over the local network and
land in DaVinci Resolve's LUT folder as .cube LUTs and Resolve stills;
grades exported from Resolve go to the cloud and to iPads on the same
network.]])
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
