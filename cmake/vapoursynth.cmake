# The real VapourSynth, for the tests and benchmarks of libbitgrade.so in it:
# built once from ../shared/vapoursynth into build/vapoursynth (about two
# minutes), which defines the target `vapoursynth`, VAPOURSYNTH_DIR (its
# headers under include/vapoursynth) and VAPOURSYNTH_LIBRARY.
option(BITGRADE_VAPOURSYNTH_TESTS "Test libbitgrade.so inside the real VapourSynth" ON)
set(VAPOURSYNTH_SOURCES ${CMAKE_SOURCE_DIR}/../shared/vapoursynth)
if(BITGRADE_VAPOURSYNTH_TESTS AND EXISTS ${VAPOURSYNTH_SOURCES}/build.sh)
    set(VAPOURSYNTH_DIR ${CMAKE_SOURCE_DIR}/build/vapoursynth)
    set(VAPOURSYNTH_LIBRARY ${VAPOURSYNTH_DIR}/lib/libvapoursynth.so)
    add_custom_command(OUTPUT ${VAPOURSYNTH_DIR}/.built
                       COMMAND bash ${VAPOURSYNTH_SOURCES}/build.sh ${VAPOURSYNTH_DIR}
                       COMMENT "Building VapourSynth for the real-host tests (once, about two minutes)")
    add_custom_target(vapoursynth DEPENDS ${VAPOURSYNTH_DIR}/.built)
elseif(BITGRADE_VAPOURSYNTH_TESTS)
    message(STATUS "../shared/vapoursynth not found: the real-host tests of libbitgrade.so in VapourSynth are skipped")
endif()
