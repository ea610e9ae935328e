# cmake -DSRC=file -DDST=dir -P CopyIfMissing.cmake
# Copies SRC into DST unless a file of that name is already there, so that a
# saved file is never replaced by the default.
get_filename_component(name "${SRC}" NAME)
if(NOT EXISTS "${DST}/${name}")
  file(COPY "${SRC}" DESTINATION "${DST}")
endif()
