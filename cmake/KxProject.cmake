# kx_library(NAME [DEPS ...]): a static library from every *.cpp of the current folder.
function(kx_library name)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC Threads::Threads ${ARG_DEPS})
endfunction()

# kx_tests(LIBS ...): one test program per tests/*_test.cpp, registered with CTest.
# Test programs share the folder tests/support*.cpp files, when there are any.
function(kx_tests)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
    file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/support*.cpp)
    foreach(src ${tests})
        get_filename_component(base ${src} NAME_WE)
        add_executable(${base} ${src} ${support})
        target_link_libraries(${base} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
        if(KX_FUZZ)
            # The fuzzing build makes fuzzers only; its instrumented tests are not run.
            set_target_properties(${base} PROPERTIES EXCLUDE_FROM_ALL ON)
            continue()
        endif()
        gtest_discover_tests(${base} DISCOVERY_TIMEOUT 60
            PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)
    endforeach()
endfunction()

# kx_benchmarks(LIBS ...): one program per bench/*_bench.cpp; built, never run by CTest.
# Benchmark programs share the folder bench/support*.cpp files, when there are any. A program
# with a main of its own (to print a summary) gets Google Benchmark without its main.
function(kx_benchmarks)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    if(NOT benchmark_FOUND OR NOT KX_BENCHMARKS)
        return()
    endif()
    file(GLOB benches CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*_bench.cpp)
    file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/support*.cpp)
    foreach(src ${benches})
        get_filename_component(base ${src} NAME_WE)
        add_executable(${base} ${src} ${support})
        file(STRINGS ${src} own_main REGEX "^int main\\(")
        if(own_main)
            target_link_libraries(${base} PRIVATE ${ARG_LIBS} benchmark::benchmark)
        else()
            target_link_libraries(${base} PRIVATE ${ARG_LIBS} benchmark::benchmark benchmark::benchmark_main)
        endif()
    endforeach()
endfunction()

# kx_fuzz_target(NAME [LIBS ...] [DEFINITIONS ...]): the libFuzzer target fuzz/NAME_fuzz.cpp of
# the current folder, with its seed corpus in fuzz/corpus/NAME/. In the fuzzing build
# (KX_FUZZ) it becomes the fuzzer NAME_fuzz; otherwise NAME_fuzz_replay, a program that feeds
# it every file of the corpus once, which CTest runs as the test fuzz_replay.NAME.
function(kx_fuzz_target name)
    cmake_parse_arguments(ARG "" "" "LIBS;DEFINITIONS" ${ARGN})
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/${name}_fuzz.cpp)
    set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${name})
    if(KX_FUZZ)
        set(program ${name}_fuzz)
        add_executable(${program} ${source})
        target_link_options(${program} PRIVATE -fsanitize=fuzzer)
        add_dependencies(kx_fuzz_all ${program})
        set_property(GLOBAL APPEND PROPERTY KX_FUZZ_TARGETS
                     "${name} ${CMAKE_CURRENT_BINARY_DIR}/${program} ${corpus}")
    else()
        set(program ${name}_fuzz_replay)
        add_executable(${program} ${source} ${PROJECT_SOURCE_DIR}/libutil/fuzz/fuzz_replay.cpp)
        add_test(NAME fuzz_replay.${name} COMMAND ${program} ${corpus})
    endif()
    target_link_libraries(${program} PRIVATE ${ARG_LIBS})
    target_compile_definitions(${program} PRIVATE ${ARG_DEFINITIONS})
endfunction()
