# The plugin as a Windows DLL for the frame server, built with the Microsoft
# C++ ABI by clang, lld-link and msvcrt import libraries of our own (no
# Microsoft headers or libraries exist here). The sources are the native
# ones; only the C runtime's door changes (BITGRADE_MSVCRT).
#
# The product is the 32-bit DLL (i686). The same sources also build for
# x86_64, so that the test host can run them under 64-bit wine on machines
# that cannot run 32-bit programs.
set(BITGRADE_WINDOWS_ARCH "i686" CACHE STRING "i686 (the product) or x86_64")
find_program(WIN32_CLANG clang++ REQUIRED)
find_program(WIN32_LINK lld-link REQUIRED)
find_program(WIN32_DLLTOOL llvm-dlltool REQUIRED)
find_program(LLVM_READOBJ llvm-readobj REQUIRED)
find_program(LLVM_OBJDUMP llvm-objdump REQUIRED)

if(BITGRADE_WINDOWS_ARCH STREQUAL "i686")
    set(DLLTOOL_MACHINE i386)
    set(LINK_FLAGS /safeseh:no)
    set(EXPECTED_EXPORT "_AvisynthPluginInit2@4")
    set(EXPECTED_MACHINE IMAGE_FILE_MACHINE_I386)
    # The 32-bit loader itself: the `wine` wrapper falls back to the 64-bit
    # one, which cannot run a 32-bit host.
    find_program(WINE wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
    set(DLLTOOL_MACHINE i386:x86-64)
    set(LINK_FLAGS)
    set(EXPECTED_EXPORT "AvisynthPluginInit2")  # no stdcall decoration on x86_64
    set(EXPECTED_MACHINE IMAGE_FILE_MACHINE_AMD64)
    find_program(WINE wine64 PATHS /usr/lib/wine)
endif()

set(WIN32_CXX_FLAGS --target=${BITGRADE_WINDOWS_ARCH}-pc-windows-msvc -ffreestanding -fms-extensions -fms-compatibility
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

# An import library from a .def file; stdcall names keep their @N there,
# which only i686 decorates with (-k drops it from the imported name).
function(win32_import_library def lib)
    set(source ${CMAKE_SOURCE_DIR}/${def})
    if(NOT BITGRADE_WINDOWS_ARCH STREQUAL "i686")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
        file(READ ${source} text)
        string(REGEX REPLACE "@[0-9]+" "" text "${text}")
        set(source ${CMAKE_BINARY_DIR}/${lib}.def)
        file(WRITE ${source} "${text}")
    endif()
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/${lib}
        COMMAND ${WIN32_DLLTOOL} -m ${DLLTOOL_MACHINE} -k -d ${source} -l ${CMAKE_BINARY_DIR}/${lib}
        DEPENDS ${source})
endfunction()

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/obj)
win32_import_library(plugin/msvcrt.def msvcrt.lib)
set(HELPER_LIBS)
if(BITGRADE_WINDOWS_ARCH STREQUAL "i686")
    # 64-bit arithmetic helpers: x86_64 has the instructions, i686 calls these.
    win32_import_library(plugin/ntdll.def ntdll.lib)
    set(HELPER_LIBS ${CMAKE_BINARY_DIR}/ntdll.lib)
endif()
win32_import_library(plugin/kernel32.def kernel32.lib)
win32_import_library(win32_test_host/msvcrt.def msvcrt_host.lib)

# Links `inputs` (objects and import libraries) into `output` with the given
# entry point and flags, as part of the default build.
function(win32_link output entry flags)
    set(inputs ${ARGN})
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/${output}
        COMMAND ${WIN32_LINK} /nodefaultlib ${LINK_FLAGS} ${flags} /entry:${entry} /out:${CMAKE_BINARY_DIR}/${output}
                ${inputs}
        DEPENDS ${inputs}
        COMMENT "Linking ${output}")
    string(MAKE_C_IDENTIFIER ${output} target)
    add_custom_target(${target} ALL DEPENDS ${CMAKE_BINARY_DIR}/${output})
endfunction()

# The core, and what a DLL needs in place of a C runtime's start-up code
# (which the test hosts share).
win32_compile(CORE_OBJECTS ${BITGRADE_CORE_SOURCES})
win32_compile(RUNTIME_OBJECTS plugin/dll_runtime.cpp)
win32_compile(CPP_ENTRY_OBJECTS plugin/cpp_plugin.cpp)
set(DLL_OBJECTS ${CORE_OBJECTS} ${RUNTIME_OBJECTS} ${CPP_ENTRY_OBJECTS})
win32_link(bitgrade.dll DllEntry /dll ${DLL_OBJECTS} ${CMAKE_BINARY_DIR}/msvcrt.lib ${HELPER_LIBS})

# The test host: the frame server's side of the interface, built the same
# way.
win32_compile(HOST_OBJECTS win32_test_host/test_host.cpp)
win32_link(win32_test_host.exe HostEntry /subsystem:console ${HOST_OBJECTS} ${RUNTIME_OBJECTS}
           ${CMAKE_BINARY_DIR}/msvcrt_host.lib ${CMAKE_BINARY_DIR}/kernel32.lib ${HELPER_LIBS})

# The native build's checksums of the same frames, for the host to compare.
add_executable(native_checksums win32_test_host/native_checksums.cpp)
target_link_libraries(native_checksums PRIVATE native_host bitgrade_cpp_plugin)
target_compile_options(native_checksums PRIVATE ${BITGRADE_WARNINGS})

# `prefix`dll_exports_and_imports checks what the loader sees of a DLL: its
# exports, exactly `exports` (a list in one argument); its imports; the
# objects for the stack check.
function(dll_check prefix dll exports)
    add_test(NAME ${prefix}dll_exports_and_imports
             COMMAND ${CMAKE_SOURCE_DIR}/win32_test_host/check_dll.sh ${LLVM_READOBJ} ${LLVM_OBJDUMP}
                     ${CMAKE_BINARY_DIR}/${dll} ${exports} ${EXPECTED_MACHINE} ${ARGN})
endfunction()

# `name` runs the test host `host` against the DLL beside it under wine,
# where wine can start.
function(wine_test name host)
    if(WINE)
        add_test(NAME ${name}
                 COMMAND ${CMAKE_SOURCE_DIR}/win32_test_host/run_in_wine.sh ${WINE} ${CMAKE_BINARY_DIR}
                         $<TARGET_FILE:native_checksums> ${host})
        # 77: this machine cannot run the wine loader (no 32-bit programs).
        # The hosts share one wine prefix, which wine sets up on first use:
        # one at a time.
        set_tests_properties(${name} PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77 RESOURCE_LOCK wineprefix)
    else()
        add_test(NAME ${name} COMMAND sh -c "echo 'skipped: no wine loader for ${BITGRADE_WINDOWS_ARCH} programs is \
installed (wine32:i386 for the 32-bit DLL)'; exit 77")
        set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    endif()
endfunction()

dll_check("" bitgrade.dll ${EXPECTED_EXPORT} ${DLL_OBJECTS})
wine_test(dll_in_wine win32_test_host.exe)

# AviSynth+ x64 loads plugins through the plain-C interface and VapourSynth
# through its API 4: bitgrade64.dll serves both, with a test host of ours for
# each that provides the host's functions.
if(BITGRADE_WINDOWS_ARCH STREQUAL "x86_64")
    win32_compile(PLUGIN_ENTRY_OBJECTS plugin/c_plugin.cpp plugin/vs_plugin.cpp)
    set(PLUGIN_DLL_OBJECTS ${CORE_OBJECTS} ${RUNTIME_OBJECTS} ${PLUGIN_ENTRY_OBJECTS})
    win32_link(bitgrade64.dll DllEntry /dll ${PLUGIN_DLL_OBJECTS} ${CMAKE_BINARY_DIR}/msvcrt.lib
               ${CMAKE_BINARY_DIR}/kernel32.lib)
    dll_check(c_ bitgrade64.dll "VapourSynthPluginInit2 avisynth_c_plugin_init" ${PLUGIN_DLL_OBJECTS})
    foreach(host c vs)
        win32_compile(${host}_HOST_OBJECTS win32_test_host/${host}_test_host.cpp)
        win32_link(${host}_test_host.exe HostEntry /subsystem:console ${${host}_HOST_OBJECTS} ${RUNTIME_OBJECTS}
                   ${CMAKE_BINARY_DIR}/msvcrt_host.lib ${CMAKE_BINARY_DIR}/kernel32.lib)
        wine_test(${host}_dll_in_wine ${host}_test_host.exe)
    endforeach()
endif()
