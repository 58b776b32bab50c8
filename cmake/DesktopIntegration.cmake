# What makes the installed program a desktop application: its entry in the applications menu,
# its icon in the hicolor theme and its AppStream description. The files live in data/; the PNG
# sizes of the icon are drawn from its SVG at build time, so that only the SVG is kept.
set(TONEWHARF_APP_ID com.quillfen.Tonewharf)
set(TONEWHARF_DATA_DIR ${PROJECT_SOURCE_DIR}/data)
# The day the version in project() was released; change both together.
set(TONEWHARF_RELEASE_DATE 2026-12-06)

install(FILES ${TONEWHARF_DATA_DIR}/${TONEWHARF_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

configure_file(${TONEWHARF_DATA_DIR}/${TONEWHARF_APP_ID}.metainfo.xml.in
    ${CMAKE_BINARY_DIR}/data/${TONEWHARF_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/data/${TONEWHARF_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(TONEWHARF_ICON ${TONEWHARF_DATA_DIR}/icons/${TONEWHARF_APP_ID}.svg)
install(FILES ${TONEWHARF_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
find_program(TONEWHARF_RSVG_CONVERT rsvg-convert REQUIRED)
set(TONEWHARF_ICON_PNGS)
foreach(size 16 24 32 48 64 128 256)
    set(folder ${CMAKE_BINARY_DIR}/data/icons/hicolor/${size}x${size}/apps)
    add_custom_command(OUTPUT ${folder}/${TONEWHARF_APP_ID}.png
        COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
        COMMAND ${TONEWHARF_RSVG_CONVERT} --width ${size} --height ${size}
            --output ${folder}/${TONEWHARF_APP_ID}.png ${TONEWHARF_ICON}
        DEPENDS ${TONEWHARF_ICON}
        COMMENT "Drawing the ${size}x${size} application icon")
    list(APPEND TONEWHARF_ICON_PNGS ${folder}/${TONEWHARF_APP_ID}.png)
    install(FILES ${folder}/${TONEWHARF_APP_ID}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(tonewharf_icons ALL DEPENDS ${TONEWHARF_ICON_PNGS})
