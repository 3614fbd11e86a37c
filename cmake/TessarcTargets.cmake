# One static library per code folder, made from every .cpp in it (main.cpp excepted).
function(tessarc_library name)
    file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    list(FILTER _src EXCLUDE REGEX "/main\\.cpp$")
    if(NOT _src)
        # A folder whose code has not landed yet still gives a linkable target.
        set(_src ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
        file(WRITE ${_src} "")
    endif()
    add_library(${name} STATIC ${_src})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${ARGN})
endfunction()

# One GoogleTest program per test folder, made from every .cpp in it, linked with the
# shared test helpers and the libraries given.
function(tessarc_test name)
    file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(NOT _src)
        return()
    endif()
    add_executable(${name} ${_src})
    target_link_libraries(${name} PRIVATE test_common ${ARGN} GTest::gtest GTest::gtest_main
                          GTest::gmock)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
