// A small library for the shared-library tests.
extern "C" {
__attribute__((visibility("default"))) int qar_test_add(int a, int b) {
  return a + b;
}
__attribute__((visibility("default"))) extern int qar_test_value;
int qar_test_value = 41;
}
