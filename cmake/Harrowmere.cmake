# Build helpers shared by every folder of the project.
#
# Each folder of src/ is one static library holding every source file of that folder (not of its
# sub-folders, which are libraries of their own). Each folder of tests/ is one test executable.

set(HM_WARNINGS -Wall -Wextra -Wpedantic -Wno-missing-field-initializers -Werror)

# hm_add_library(<target> DEPENDS <libraries...>): the library of the calling folder.
function(hm_add_library target)
    cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS
        ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.ui)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${target} PRIVATE ${HM_WARNINGS})
    target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
endfunction()

# hm_add_test(<target> DEPENDS <libraries...>): one test executable from the calling folder's sources.
function(hm_add_test target)
    cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    add_executable(${target} ${sources})
    target_compile_options(${target} PRIVATE ${HM_WARNINGS})
    target_link_libraries(${target} PRIVATE hm_test_support ${ARG_DEPENDS} GTest::gtest GTest::gmock)
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TZ=UTC;LANG=C.UTF-8;HM_SOURCE_DIR=${PROJECT_SOURCE_DIR};HM_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
