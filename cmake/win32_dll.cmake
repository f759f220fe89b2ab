# The plugin as a 32-bit Windows DLL for the frame server, built with the
# Microsoft C++ ABI by clang, lld-link and an msvcrt import library of our
# own (no Microsoft headers or libraries exist here). The sources are the
# native ones; only the platform header changes (BITGRADE_MSVCRT).
find_program(WIN32_CLANG clang++ REQUIRED)
find_program(WIN32_LINK lld-link REQUIRED)
find_program(WIN32_DLLTOOL llvm-dlltool REQUIRED)

set(WIN32_CXX_FLAGS --target=i686-pc-windows-msvc -ffreestanding -fms-extensions -fms-compatibility
    -fno-rtti -fexceptions -fcxx-exceptions -std=c++17 -O2 -Wall -Wextra -mno-stack-arg-probe
    -DBITGRADE_MSVCRT -I${CMAKE_SOURCE_DIR})

# Compiles sources to objects under ${CMAKE_BINARY_DIR}/obj; the list goes to out_var.
function(win32_compile out_var)
    set(objects)
    foreach(source ${ARGN})
        string(REPLACE "/" "_" name ${source})
        set(object ${CMAKE_BINARY_DIR}/obj/${name}.obj)
        add_custom_command(
            OUTPUT ${object}
            COMMAND ${WIN32_CLANG} ${WIN32_CXX_FLAGS} -MD -MF ${object}.d -c ${CMAKE_SOURCE_DIR}/${source} -o ${object}
            DEPENDS ${CMAKE_SOURCE_DIR}/${source}
            DEPFILE ${object}.d
            COMMENT "win32 ${source}")
        list(APPEND objects ${object})
    endforeach()
    set(${out_var} ${objects} PARENT_SCOPE)
endfunction()

function(win32_import_library def lib)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/${lib}
        COMMAND ${WIN32_DLLTOOL} -m i386 -k -d ${CMAKE_SOURCE_DIR}/${def} -l ${CMAKE_BINARY_DIR}/${lib}
        DEPENDS ${CMAKE_SOURCE_DIR}/${def})
endfunction()

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/obj)
win32_import_library(plugin/msvcrt.def msvcrt.lib)
win32_compile(DLL_OBJECTS
    plugin/plugin.cpp plugin/dll_runtime.cpp
    convert/bitgrade_noopt.cpp convert/bitgrade_sse2.cpp convert/row_kernels.cpp
    convert/bitgrade_sse41.cpp convert/row_kernels_sse41.cpp)
add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/bitgrade.dll
    COMMAND ${WIN32_LINK} /dll /nodefaultlib /safeseh:no /entry:DllEntry /out:${CMAKE_BINARY_DIR}/bitgrade.dll
            ${DLL_OBJECTS} ${CMAKE_BINARY_DIR}/msvcrt.lib
    DEPENDS ${DLL_OBJECTS} ${CMAKE_BINARY_DIR}/msvcrt.lib
    COMMENT "Linking bitgrade.dll")
add_custom_target(bitgrade_dll ALL DEPENDS ${CMAKE_BINARY_DIR}/bitgrade.dll)

# The test host: the frame server's side of the interface, built the same way.
win32_import_library(win32_test_host/msvcrt.def msvcrt_host.lib)
win32_import_library(win32_test_host/kernel32.def kernel32.lib)
win32_compile(HOST_OBJECTS win32_test_host/test_host.cpp)
list(FILTER DLL_OBJECTS INCLUDE REGEX "dll_runtime")
add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/win32_test_host.exe
    COMMAND ${WIN32_LINK} /subsystem:console /nodefaultlib /safeseh:no /entry:HostEntry
            /out:${CMAKE_BINARY_DIR}/win32_test_host.exe ${HOST_OBJECTS} ${DLL_OBJECTS}
            ${CMAKE_BINARY_DIR}/msvcrt_host.lib ${CMAKE_BINARY_DIR}/kernel32.lib
    DEPENDS ${HOST_OBJECTS} ${DLL_OBJECTS} ${CMAKE_BINARY_DIR}/msvcrt_host.lib ${CMAKE_BINARY_DIR}/kernel32.lib
    COMMENT "Linking win32_test_host.exe")
add_custom_target(win32_test_host ALL DEPENDS ${CMAKE_BINARY_DIR}/win32_test_host.exe)

# The native build's checksums of the same frames, for the host to compare.
add_executable(native_checksums win32_test_host/native_checksums.cpp)
target_link_libraries(native_checksums PRIVATE native_host)
target_compile_options(native_checksums PRIVATE ${BITGRADE_WARNINGS})

add_test(NAME dll_exports_and_imports
         COMMAND ${CMAKE_SOURCE_DIR}/win32_test_host/check_dll.sh ${CMAKE_BINARY_DIR}/bitgrade.dll)
find_program(WINE wine)
if(WINE)
    add_test(NAME dll_in_wine
             COMMAND ${CMAKE_SOURCE_DIR}/win32_test_host/run_in_wine.sh ${CMAKE_BINARY_DIR}
                     $<TARGET_FILE:native_checksums>)
    set_tests_properties(dll_in_wine PROPERTIES TIMEOUT 1500)
endif()
