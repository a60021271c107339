# `tovrel --headless` as its own process on private sound servers (skipped without the
# test command's server kind); the option parsing beside it needs no server.
tovrel_test(headless_test LIBS tovrel_headless TIMEOUT 240 AUDIO_SERVER)
add_dependencies(headless_test tovrel)
