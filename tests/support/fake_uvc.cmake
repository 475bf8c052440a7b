# Emulated uvcvideo capture sticks under the real V4L2 code: a shared
# library, so that its open, ioctl, mmap, poll... come before libc's in any
# executable that links it (or preloads it).
pkg_check_modules(VISTAMO_FAKE_UVC_JPEG REQUIRED IMPORTED_TARGET libjpeg)
# The sticks send Motion-JPEG through the virtual devices' encoder, built in
# and kept to the library (the programs have their own).
set(fake_uvc_encoder ${CMAKE_CURRENT_LIST_DIR}/../../platform/virtual/mjpeg_encode.cpp)
add_library(vistamo_fake_uvc SHARED ${CMAKE_CURRENT_LIST_DIR}/fake_uvc.cpp ${fake_uvc_encoder})
set_source_files_properties(${fake_uvc_encoder} PROPERTIES COMPILE_OPTIONS -fvisibility=hidden)
target_include_directories(vistamo_fake_uvc PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_include_directories(vistamo_fake_uvc SYSTEM PUBLIC ${OpenCV_INCLUDE_DIRS})
target_link_libraries(vistamo_fake_uvc PUBLIC opencv_core)
target_link_libraries(vistamo_fake_uvc PRIVATE opencv_imgproc PkgConfig::VISTAMO_FAKE_UVC_JPEG Threads::Threads
                      ${CMAKE_DL_LIBS})
