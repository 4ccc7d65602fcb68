# navctl and the pipe writer it shares with the simulator. Included by
# tools/, by a build of the daemon alone, and otherwise by the tests.
add_library(krv_pipe_writer STATIC ${CMAKE_CURRENT_LIST_DIR}/pipe_writer.cpp)
target_include_directories(krv_pipe_writer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(krv_pipe_writer PRIVATE ${KRV_WARNINGS})
find_package(Threads REQUIRED)
target_link_libraries(krv_pipe_writer PUBLIC Threads::Threads PRIVATE krv_base)

# The checks of "navctl status", for navctl and its test; the codes the
# input node must declare come from the shared table of record streams.
add_library(krv_navctl_status STATIC ${CMAKE_CURRENT_LIST_DIR}/navctl_status.cpp)
target_include_directories(krv_navctl_status PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/include
                                             PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(krv_navctl_status PUBLIC krv::properties PRIVATE krv_base)
target_compile_options(krv_navctl_status PRIVATE ${KRV_WARNINGS})
# Under user-mode emulation a 32-bit readdir() fails with EOVERFLOW on the
# host's 64-bit directory offsets (docs/platforms.md); a device's kernel
# hands a 32-bit process 32-bit offsets.
target_compile_definitions(krv_navctl_status PRIVATE _FILE_OFFSET_BITS=64)

add_executable(navctl ${CMAKE_CURRENT_LIST_DIR}/navctl.cpp)
target_include_directories(navctl PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(navctl PRIVATE krv_pipe_writer krv_navctl_status)
target_compile_options(navctl PRIVATE ${KRV_WARNINGS})
