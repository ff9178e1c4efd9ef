# The merger's side of the V-Ray runtime: start and stop, and the frame buffer.
add_library(quorvel_platform_vray_runtime STATIC
  ${CMAKE_CURRENT_LIST_DIR}/VRayRuntime.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FrameBuffer.cpp)
target_include_directories(quorvel_platform_vray_runtime PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_compile_features(quorvel_platform_vray_runtime PUBLIC cxx_std_20)
