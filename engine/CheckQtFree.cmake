# Fails the build when a Qt library was linked into the engine.
if(LIBS MATCHES "Qt[0-9]*::|libQt")
  message(FATAL_ERROR "engine must stay Qt-free, but links: ${LIBS}")
endif()
