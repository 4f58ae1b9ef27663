# Installs the build into a fresh prefix and checks what the desktop finds there: the executable, the desktop
# entry and its icon under the application's id, and that the desktop entry and the metainfo pass their
# validators (without the network).
foreach(variable BUILD_DIR PREFIX APP_ID)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(desktop "${PREFIX}/share/applications/${APP_ID}.desktop")
set(metainfo "${PREFIX}/share/metainfo/${APP_ID}.metainfo.xml")
foreach(file "${PREFIX}/bin/glintward" "${desktop}" "${metainfo}"
        "${PREFIX}/share/icons/hicolor/scalable/apps/${APP_ID}.svg")
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

# The entry starts what was installed and names the icon that was installed.
file(STRINGS "${desktop}" exec REGEX "^Exec=")
file(STRINGS "${desktop}" icon REGEX "^Icon=")
if(NOT exec STREQUAL "Exec=glintward" OR NOT icon STREQUAL "Icon=${APP_ID}")
    message(FATAL_ERROR "the desktop entry says ${exec} and ${icon}")
endif()

foreach(check "desktop-file-validate;${desktop}" "appstreamcli;validate;--no-net;--pedantic;${metainfo}")
    execute_process(COMMAND ${check} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    # desktop-file-validate reports problems on its output even where it exits 0.
    list(GET check 0 tool)
    if(NOT result EQUAL 0 OR (tool STREQUAL "desktop-file-validate" AND NOT out STREQUAL ""))
        message(FATAL_ERROR "${tool} failed (${result}):\n${out}")
    endif()
endforeach()
