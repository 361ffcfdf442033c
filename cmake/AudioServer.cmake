# SPDX-License-Identifier: MIT
# The private audio server of scripts/audio-rig.sh as a ctest fixture: ctest
# starts it before the first test that needs it and stops it after the last.
# kaldrix_add_server_test(NAME name [LABELS label...] COMMAND command...)
# registers a test that runs inside the server's environment, alone: what it
# feeds to and hears from the server must not mix with another test's.
set(KALDRIX_AUDIO_RIG ${PROJECT_BINARY_DIR}/audio-rig)
set(KALDRIX_AUDIO_RIG_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/audio-rig.sh)

add_test(NAME server.Start COMMAND bash ${KALDRIX_AUDIO_RIG_SCRIPT} restart ${KALDRIX_AUDIO_RIG})
add_test(NAME server.Stop COMMAND bash ${KALDRIX_AUDIO_RIG_SCRIPT} stop ${KALDRIX_AUDIO_RIG})
set_tests_properties(server.Start PROPERTIES FIXTURES_SETUP audio_server LABELS server)
set_tests_properties(server.Stop PROPERTIES FIXTURES_CLEANUP audio_server LABELS server)

function(kaldrix_add_server_test)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME" "LABELS;COMMAND")
    add_test(NAME ${arg_NAME}
        COMMAND bash ${KALDRIX_AUDIO_RIG_SCRIPT} with ${KALDRIX_AUDIO_RIG} ${arg_COMMAND})
    set_tests_properties(${arg_NAME} PROPERTIES
        LABELS "server;${arg_LABELS}"
        FIXTURES_REQUIRED audio_server
        RUN_SERIAL ON
        TIMEOUT 600)
endfunction()
