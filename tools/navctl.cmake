# navctl and the pipe writer it shares with the simulator. Included by
# tools/ and, in builds without the tools, by the test that runs navctl.
add_library(krv_pipe_writer STATIC ${CMAKE_CURRENT_LIST_DIR}/pipe_writer.cpp)
target_include_directories(krv_pipe_writer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(krv_pipe_writer PRIVATE ${KRV_WARNINGS})
find_package(Threads REQUIRED)
target_link_libraries(krv_pipe_writer PUBLIC Threads::Threads PRIVATE krv_base)

add_executable(navctl ${CMAKE_CURRENT_LIST_DIR}/navctl.cpp)
target_include_directories(navctl PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(navctl PRIVATE krv_pipe_writer)
target_compile_options(navctl PRIVATE ${KRV_WARNINGS})
