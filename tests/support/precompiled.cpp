// The object the test programs' shared precompiled GoogleTest header is made
// with (cmake/Vantrel.cmake, vantrel_test_program); it holds nothing itself.
