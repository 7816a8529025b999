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

# hm_order_shared_libraries(<target>): in Release programs, the shared libraries most symbols are found
# in are named first. At start-up the dynamic linker looks every symbol of every library up in the
# libraries in the order the program names them (its own, then theirs), and most lookups are of the C
# and C++ runtimes, Qt Core and the libraries that look up their own symbols (libcrypto, SQLite):
# named late, each of those lookups first passes a dozen libraries that do not hold it. Only libraries
# the program links anyway are named, and each one that defines a symbol another also defines comes
# first here in the same order as before (libm before libc, the other Qt libraries before Qt Core), so
# every symbol binds to the very same definition. QT names the program's Qt libraries other than Qt
# Core, in the order it linked them: they define some of each other's symbols (instances of
# templates). Without QT, only Qt Core is named, and the program loads another Qt library only if its
# code calls one.
function(hm_order_shared_libraries target)
    cmake_parse_arguments(ARG "" "" "QT" ${ARGN})
    if(NOT CMAKE_BUILD_TYPE STREQUAL "Release" OR HM_SANITIZE OR HM_BUILD_FUZZ)
        return()
    endif()
    list(TRANSFORM ARG_QT REPLACE "(.+)" "$<TARGET_FILE:\\1>")
    target_link_options(${target} PRIVATE "LINKER:--push-state,--no-as-needed"
        $<TARGET_FILE:OpenSSL::Crypto> -lstdc++ -l:libm.so.6 -l:libc.so.6 $<TARGET_FILE:SQLite::SQLite3>
        ${ARG_QT} $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:ICU::uc>
        $<TARGET_FILE:OpenSSL::SSL> "LINKER:--pop-state")
endfunction()
