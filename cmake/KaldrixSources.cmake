# The core is written once against the platform's own operations; each
# platform adds its own layer below it. Rooms are globbed so that a new
# class is one new pair of files.
file(GLOB KALDRIX_CORE_SOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/frame/*.cpp
    ${PROJECT_SOURCE_DIR}/src/log/*.cpp
    ${PROJECT_SOURCE_DIR}/src/playback/*.cpp
    ${PROJECT_SOURCE_DIR}/src/recording/*.cpp)

if(WIN32)
    file(GLOB KALDRIX_PLATFORM_SOURCES CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/src/platform/*.cpp
        ${PROJECT_SOURCE_DIR}/src/platform/win32/*.cpp)
else()
    file(GLOB KALDRIX_PLATFORM_SOURCES CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/src/platform/*.cpp
        ${PROJECT_SOURCE_DIR}/src/platform/posix/*.cpp
        ${PROJECT_SOURCE_DIR}/src/platform/posix/audio/*.cpp)
endif()

# One set of objects makes both the shipped library and the static core that
# the tests link, so tests drive exactly the shipped code.
add_library(kaldrix_objects OBJECT ${KALDRIX_CORE_SOURCES} ${KALDRIX_PLATFORM_SOURCES})
target_include_directories(kaldrix_objects PUBLIC
    ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/src)
add_library(kaldrix_core STATIC $<TARGET_OBJECTS:kaldrix_objects>)
target_include_directories(kaldrix_core PUBLIC
    ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/src)
