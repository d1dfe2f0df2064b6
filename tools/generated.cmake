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

# Spec blocks of the natives and actions, as the boot code and the tests read them.
add_custom_command(
  OUTPUT ${KEL_GEN_DIR}/natives_source.cpp
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/gen_embed.py ${CMAKE_SOURCE_DIR}/boot/natives.kel
          ${KEL_GEN_DIR}/natives_source.cpp natives boot_source
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/gen_embed.py ${CMAKE_SOURCE_DIR}/boot/natives.kel
  COMMENT "Embedding the natives' spec blocks")
list(APPEND KEL_GENERATED_SOURCES ${KEL_GEN_DIR}/natives_source.cpp)
