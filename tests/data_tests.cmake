# The board's data stores and payload decoders, and the conversions of the
# data functions.
vxn_unit_test(spectrum_test spectrum_test.cpp)
vxn_unit_test(board_data_test board_data_test.cpp)
vxn_unit_test(data_conversions_test data_conversions_test.cpp)
