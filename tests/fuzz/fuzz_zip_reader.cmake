# The zip reader's libFuzzer target; built with the others when HM_BUILD_FUZZ is on (clang only):
#   ./build-fuzz/tests/fuzz/fuzz_zip_reader -max_total_time=60 tests/app/zip/samples
if(HM_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(fuzz_zip_reader fuzz_zip_reader.cpp ${PROJECT_SOURCE_DIR}/tests/app/zip/ZipReaderExercise.cpp)
    target_include_directories(fuzz_zip_reader PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_options(fuzz_zip_reader PRIVATE ${HM_WARNINGS} -fsanitize=fuzzer)
    target_link_options(fuzz_zip_reader PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_zip_reader PRIVATE hm_zip)
endif()
