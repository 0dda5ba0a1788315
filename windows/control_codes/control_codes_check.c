// The control codes header, compiled as C.
#include "control_codes_check.inc"
