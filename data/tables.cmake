# Embeds the IEC test waveform tables into the library at build time.
set(ORNA_DATA_SOURCES "")
