# The core is written once against the platform's own operations; each
# platform adds its own layer below it. Rooms are globbed so that a new
# class is one new pair of files. Paths are taken from this file's place, so
# the cross-built test project under tests/wine can build the same core.
get_filename_component(KALDRIX_ROOT ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
file(GLOB KALDRIX_CORE_SOURCES CONFIGURE_DEPENDS
    ${KALDRIX_ROOT}/src/frame/*.cpp
    ${KALDRIX_ROOT}/src/log/*.cpp
    ${KALDRIX_ROOT}/src/playback/*.cpp
    ${KALDRIX_ROOT}/src/recording/*.cpp)

if(WIN32)
    file(GLOB KALDRIX_PLATFORM_SOURCES CONFIGURE_DEPENDS
        ${KALDRIX_ROOT}/src/platform/*.cpp
        ${KALDRIX_ROOT}/src/platform/win32/*.cpp)
else()
    file(GLOB KALDRIX_PLATFORM_SOURCES CONFIGURE_DEPENDS
        ${KALDRIX_ROOT}/src/platform/*.cpp
        ${KALDRIX_ROOT}/src/platform/posix/*.cpp
        ${KALDRIX_ROOT}/src/platform/posix/audio/*.cpp)
endif()

# One set of objects makes both the shipped library and the static core that
# the tests link, so tests drive exactly the shipped code.
add_library(kaldrix_objects OBJECT ${KALDRIX_CORE_SOURCES} ${KALDRIX_PLATFORM_SOURCES})
target_include_directories(kaldrix_objects PUBLIC
    ${KALDRIX_ROOT}/include
    ${KALDRIX_ROOT}/src)
add_library(kaldrix_core STATIC $<TARGET_OBJECTS:kaldrix_objects>)
target_include_directories(kaldrix_core PUBLIC
    ${KALDRIX_ROOT}/include
    ${KALDRIX_ROOT}/src)
