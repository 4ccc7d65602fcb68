# Platform services the library calls as dynamic symbols:
#   krv::log        __android_log_print
#   krv::properties property_get / property_set
# On Android they are the platform's liblog and libcutils. On Linux hosts the
# log comes from the distribution's Android liblog package and the property
# service from our own small host library (platform/host).
if(ANDROID)
  find_library(KRV_LIBLOG log REQUIRED)
  add_library(krv_log INTERFACE)
  target_link_libraries(krv_log INTERFACE ${KRV_LIBLOG})
  add_library(krv::log ALIAS krv_log)
  # The NDK has no libcutils: property_get / property_set map to the NDK's
  # system-property functions (platform/android/properties_ndk.cpp).
  add_library(krv_properties STATIC ${CMAKE_SOURCE_DIR}/platform/android/properties_ndk.cpp)
  target_include_directories(krv_properties PUBLIC ${CMAKE_SOURCE_DIR}/platform/include)
  target_compile_options(krv_properties PRIVATE ${KRV_WARNINGS} -fvisibility=hidden)
  add_library(krv::properties ALIAS krv_properties)
else()
  set(_krv_triplet ${CMAKE_LIBRARY_ARCHITECTURE})
  find_path(KRV_LIBLOG_INCLUDE android/log.h
            PATHS /usr/include/android ${CMAKE_SYSROOT}/usr/include/android
            NO_DEFAULT_PATH REQUIRED)
  find_library(KRV_LIBLOG log
               PATHS /usr/lib/${_krv_triplet}/android ${CMAKE_SYSROOT}/usr/lib/${_krv_triplet}/android
               NO_DEFAULT_PATH REQUIRED)
  get_filename_component(KRV_LIBLOG_DIR ${KRV_LIBLOG} DIRECTORY)
  add_library(krv::log UNKNOWN IMPORTED)
  set_target_properties(krv::log PROPERTIES
    IMPORTED_LOCATION ${KRV_LIBLOG}
    INTERFACE_INCLUDE_DIRECTORIES ${KRV_LIBLOG_INCLUDE})
  if(EXISTS ${CMAKE_SOURCE_DIR}/platform/host/CMakeLists.txt)
    add_subdirectory(${CMAKE_SOURCE_DIR}/platform/host ${CMAKE_BINARY_DIR}/platform/host)
  endif()
endif()
