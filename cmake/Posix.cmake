find_package(Threads REQUIRED)
# Unique symbols would pin the library in memory and make dlclose a no-op.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(kaldrix_objects PRIVATE -fno-gnu-unique)
endif()
set_target_properties(kaldrix_objects PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
find_package(ALSA REQUIRED)
target_link_libraries(kaldrix_objects PUBLIC Threads::Threads ALSA::ALSA ${CMAKE_DL_LIBS})
target_link_libraries(kaldrix_core PUBLIC Threads::Threads ALSA::ALSA ${CMAKE_DL_LIBS})

# The shared library exports the six functions and nothing else.
add_library(kaldrix SHARED $<TARGET_OBJECTS:kaldrix_objects>)
target_link_libraries(kaldrix PRIVATE Threads::Threads ALSA::ALSA ${CMAKE_DL_LIBS})
set_target_properties(kaldrix PROPERTIES
    VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/frame/kaldrix.map)
target_link_options(kaldrix PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/src/frame/kaldrix.map -Wl,--no-undefined)
