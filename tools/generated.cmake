# Build-time generators. Each produces sources under ${KEL_GEN_DIR}.
set(KEL_GENERATED_SOURCES)

add_custom_command(
  OUTPUT ${KEL_GEN_DIR}/catalog_ids.h
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/gen_catalog.py
          ${CMAKE_SOURCE_DIR}/boot/catalog.kel ${KEL_GEN_DIR}/catalog_ids.h
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/gen_catalog.py ${CMAKE_SOURCE_DIR}/boot/catalog.kel
  COMMENT "Generating error ids")
list(APPEND KEL_GENERATED_SOURCES ${KEL_GEN_DIR}/catalog_ids.h)
