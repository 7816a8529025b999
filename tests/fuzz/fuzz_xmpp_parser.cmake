# The XMPP stream parser's fuzz target: it links the push library rather than the phone link, so it
# is declared apart from the others. Seeds in corpus/fuzz_xmpp_parser/ (their first two bytes choose
# where the stream is cut).
set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/fuzz_xmpp_parser)
add_executable(fuzz_xmpp_parser_seeds fuzz_xmpp_parser.cpp FuzzRegressionMain.cpp)
target_compile_options(fuzz_xmpp_parser_seeds PRIVATE ${HM_WARNINGS})
target_link_libraries(fuzz_xmpp_parser_seeds PRIVATE hm_push_xmpp_core)
if(HM_BUILD_TESTS)
    add_test(NAME fuzz_xmpp_parser.seeds COMMAND fuzz_xmpp_parser_seeds ${corpus})
    set_tests_properties(fuzz_xmpp_parser.seeds PROPERTIES ENVIRONMENT "TZ=UTC;LANG=C.UTF-8")
endif()
if(HM_BUILD_FUZZ)
    add_executable(fuzz_xmpp_parser fuzz_xmpp_parser.cpp)
    target_compile_options(fuzz_xmpp_parser PRIVATE ${HM_WARNINGS} -fsanitize=fuzzer)
    target_link_options(fuzz_xmpp_parser PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_xmpp_parser PRIVATE hm_push_xmpp_core)
endif()
