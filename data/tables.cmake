# Embeds the IEC test waveform tables into the library at build time.
#
# A small host tool (data/tablegen) reads the IEC 60601-2-27 recordings and
# constructs the IEC 60601-2-51 beats, writes both tables as raw binary files
# and an assembler source that pulls them in with .incbin, and a header with the
# tables' sizes and sample counts (iec_table_sizes.h, included by
# data/iec_tables.h from ORNA_TABLES_DIR). The generated source goes into
# orna_core; nothing is read from disk at run time.

enable_language(ASM)

set(ORNA_TABLES_DIR ${CMAKE_CURRENT_BINARY_DIR}/data_tables)
file(MAKE_DIRECTORY ${ORNA_TABLES_DIR})

add_executable(orna_tablegen
  ${CMAKE_CURRENT_LIST_DIR}/tablegen/tablegen.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tablegen/iec251_shape.cpp)
target_link_libraries(orna_tablegen PRIVATE orna_build_flags)

set(ORNA_IEC227_FILES "")
foreach(k RANGE 9)
  list(APPEND ORNA_IEC227_FILES ${CMAKE_CURRENT_LIST_DIR}/iec60601-2-27/wave${k}.txt)
endforeach()

add_custom_command(
  OUTPUT ${ORNA_TABLES_DIR}/iec_tables_blob.S
         ${ORNA_TABLES_DIR}/iec227w.bin
         ${ORNA_TABLES_DIR}/iec251w.bin
         ${ORNA_TABLES_DIR}/iec_table_sizes.h
  COMMAND orna_tablegen ${CMAKE_CURRENT_LIST_DIR}/iec60601-2-27 ${ORNA_TABLES_DIR}
  DEPENDS orna_tablegen ${ORNA_IEC227_FILES}
  COMMENT "Generating the IEC test waveform tables"
  VERBATIM)

# The .incbin'd files are not seen by dependency scanning; name them.
set_source_files_properties(${ORNA_TABLES_DIR}/iec_tables_blob.S PROPERTIES
  OBJECT_DEPENDS "${ORNA_TABLES_DIR}/iec227w.bin;${ORNA_TABLES_DIR}/iec251w.bin")

set(ORNA_DATA_SOURCES ${ORNA_TABLES_DIR}/iec_tables_blob.S ${ORNA_TABLES_DIR}/iec_table_sizes.h)
