brellin_fuzz(websocket_frames ${CMAKE_CURRENT_SOURCE_DIR}/websocket_frames.cpp LINKS brellin_browserlink)
