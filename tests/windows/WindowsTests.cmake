# What only the Windows build tests, under Wine: the suites of both systems run there each as one
# test (see varnock_add_tests); the others stay Linux-only (see the README): they use fork,
# signals, /proc, resource limits or tool wrappers written as /bin/sh scripts.

# The programs find the host libraries and the plug-in through WINEPATH.
set(VARNOCK_WINEPATH "${PROJECT_BINARY_DIR}/host;${PROJECT_BINARY_DIR}/Src")
get_property(wine_tests DIRECTORY PROPERTY TESTS)
set_tests_properties(${wine_tests} PROPERTIES ENVIRONMENT "WINEPATH=${VARNOCK_WINEPATH}")

# The shell end to end under Wine: script --json on the demo home, serve's /metrics on the
# loopback, a hung tool ended at the time limit, and a home whose path holds blanks and
# non-ASCII letters.
add_test(NAME ShellUnderWine
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/shell_wine_test.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
    $<TARGET_FILE:varnock-host> ${PROJECT_BINARY_DIR}/demo-home $<TARGET_FILE:isdct-state>)
set_tests_properties(ShellUnderWine PROPERTIES TIMEOUT 600 LABELS wine
  ENVIRONMENT "WINEPATH=${VARNOCK_WINEPATH}")
add_dependencies(varnock_test_support varnock-host)

# Varnock.dll exports its two entry points and nothing else.
find_program(VARNOCK_MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
add_test(NAME PluginDllExportsOnlyItsEntryPoints
  COMMAND sh -c "test \"$(\"$1\" -p \"$2\" | sed -n '/\\[Ordinal\\/Name Pointer\\] Table/,/^$/p' | awk 'NR>1 && NF {print $NF}' | sort | tr '\\n' ' ')\" = 'createIf releaseIf '" sh ${VARNOCK_MINGW_OBJDUMP} $<TARGET_FILE:Varnock>)
