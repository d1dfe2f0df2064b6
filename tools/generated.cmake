# Build-time generators. Each produces sources under ${KEL_GEN_DIR}.
set(KEL_GENERATED_SOURCES)

add_custom_command(
  OUTPUT ${KEL_GEN_DIR}/catalog_ids.h
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/gen_catalog.py
          ${CMAKE_SOURCE_DIR}/boot/catalog.kel ${KEL_GEN_DIR}/catalog_ids.h
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/gen_catalog.py ${CMAKE_SOURCE_DIR}/boot/catalog.kel
  COMMENT "Generating error ids")
list(APPEND KEL_GENERATED_SOURCES ${KEL_GEN_DIR}/catalog_ids.h)

# Case mappings and display widths from the Unicode Character Database of Debian's unicode-data
# package; the package version is written into the generated headers.
set(KEL_UCD_DIR /usr/share/unicode CACHE PATH "Folder of the Unicode Character Database")
add_custom_command(
  OUTPUT ${KEL_GEN_DIR}/case_folding_tables.h ${KEL_GEN_DIR}/char_width_tables.h
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/gen_unicode_tables.py ${KEL_UCD_DIR}
          ${KEL_GEN_DIR}/case_folding_tables.h ${KEL_GEN_DIR}/char_width_tables.h
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/gen_unicode_tables.py ${KEL_UCD_DIR}/UnicodeData.txt
          ${KEL_UCD_DIR}/EastAsianWidth.txt ${KEL_UCD_DIR}/HangulSyllableType.txt
  COMMENT "Generating case-mapping and display-width tables")
list(APPEND KEL_GENERATED_SOURCES ${KEL_GEN_DIR}/case_folding_tables.h ${KEL_GEN_DIR}/char_width_tables.h)

# The environment's Kel sources, in boot order: each file is run in this order at start-up (the
# natives' spec blocks are read by the start-up code itself and the error catalog is included by
# the system object's source).
set(KEL_BOOT_FILES
  boot/natives.kel
  boot/catalog.kel
  boot/boot.kel
  environment/functions.kel
  environment/files.kel
  environment/save.kel
  environment/script.kel
  boot/system.kel
  environment/images.kel
  boot/operators.kel
  environment/reactivity.kel
  environment/schemes.kel
  environment/preprocessor.kel
  environment/late.kel
  environment/csv.kel
  environment/json.kel
  environment/tools.kel
  view/face.kel
  view/events.kel
  view/utils.kel
  view/rich-text.kel
  view/tui-helpers.kel
  tui/draw.kel
  view/layout.kel
  view/rules.kel
  view/show.kel
  view/functions.kel
  view/handlers.kel
  view/platform.kel
  console/start.kel
  console/complete.kel
  console/input.kel
  console/help.kel
  console/console.kel
  console/shell.kel
  console/launch.kel)
set(KEL_BOOT_PATHS)
foreach(f ${KEL_BOOT_FILES})
  list(APPEND KEL_BOOT_PATHS ${CMAKE_SOURCE_DIR}/${f})
endforeach()
add_custom_command(
  OUTPUT ${KEL_GEN_DIR}/boot_sources.cpp
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/embed_sources.py
          ${KEL_GEN_DIR}/boot_sources.cpp ${CMAKE_SOURCE_DIR} ${KEL_BOOT_FILES}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/embed_sources.py ${KEL_BOOT_PATHS}
  COMMENT "Embedding the environment's sources")
list(APPEND KEL_GENERATED_SOURCES ${KEL_GEN_DIR}/boot_sources.cpp)
