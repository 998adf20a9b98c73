# Runs in the package's staging folder before the package is made: writes the
# changelog in Debian's form (one entry per release of CHANGELOG.md, which
# tells the changes), compresses it and the man pages (gzip -9n, as Debian
# policy has them).

set(tact_doc "${CPACK_TEMPORARY_DIRECTORY}/usr/share/doc/tact")
file(STRINGS "${CPACK_TACT_CHANGELOG}" tact_releases ENCODING UTF-8 REGEX "^## [0-9][0-9.]* ")
set(tact_entries "")
foreach(heading IN LISTS tact_releases)
    if(NOT heading MATCHES "^## ([0-9][0-9.]*) [^0-9]* ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
        message(FATAL_ERROR "CHANGELOG.md: a release heading is not '## X.Y — YYYY-MM-DD': ${heading}")
    endif()
    set(version ${CMAKE_MATCH_1})
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2} 12:00"
                    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(APPEND tact_entries
        "${CPACK_PACKAGE_NAME} (${version}) unstable; urgency=medium\n\n"
        "  * Release ${version}: see /usr/share/doc/tact/CHANGELOG.md.gz.\n\n"
        " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n\n")
endforeach()
if(NOT tact_entries MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\)")
    message(FATAL_ERROR "CHANGELOG.md: the newest release is not ${CPACK_PACKAGE_VERSION}")
endif()
file(WRITE "${tact_doc}/changelog" "${tact_entries}")

file(GLOB_RECURSE tact_staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS tact_staged)
    if(file MATCHES "/share/man/man[0-9]/[^/]+\\.[0-9]$" OR file MATCHES "/share/doc/tact/(CHANGELOG\\.md|changelog)$")
        execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
