# Every fuzz target: tests/fuzz/<name>.cpp, its seeds in tests/fuzz/corpus/<name>/.
set(DAVERIDUR_FUZZ_TARGETS fuzz_parse_sysinfo fuzz_parse_mac fuzz_check_image fuzz_read_card_list
  fuzz_read_ranges)
# Libraries each target links.
set(fuzz_parse_sysinfo_LIBS protocol)
set(fuzz_parse_mac_LIBS protocol)
set(fuzz_check_image_LIBS image)
set(fuzz_read_card_list_LIBS devices)
# Inputs each run takes (300 000 unless set): a whole list per input is slower.
set(fuzz_read_card_list_RUNS 100000)
set(fuzz_read_ranges_LIBS protocol)
