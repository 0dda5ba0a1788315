#include "devsecurity/sddl.h"

#define SDDL_CONSTANT_STRING(text) { sizeof(text) - sizeof(WCHAR), sizeof(text), (PWSTR)(text) }

const UNICODE_STRING SddlProtectedEmpty = SDDL_CONSTANT_STRING(WIDE("D:P"));
const UNICODE_STRING SddlSystemAll = SDDL_CONSTANT_STRING(WIDE("D:P(A;;GA;;;SY)"));
const UNICODE_STRING SddlSystemAllAdminsAll = SDDL_CONSTANT_STRING(WIDE("D:P(A;;GA;;;SY)(A;;GA;;;BA)"));
const UNICODE_STRING SddlSystemAllAdminsRx = SDDL_CONSTANT_STRING(WIDE("D:P(A;;GA;;;SY)(A;;GRGX;;;BA)"));
const UNICODE_STRING SddlSystemAllAdminsRwxWorldR =
    SDDL_CONSTANT_STRING(WIDE("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)"));
const UNICODE_STRING SddlSystemAllAdminsRwxWorldRRestrictedR =
    SDDL_CONSTANT_STRING(WIDE("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)(A;;GR;;;RC)"));
const UNICODE_STRING SddlSystemAllAdminsRwxWorldRwRestrictedR =
    SDDL_CONSTANT_STRING(WIDE("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)"));
const UNICODE_STRING SddlSystemAllAdminsWorldRestrictedRwx =
    SDDL_CONSTANT_STRING(WIDE("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)"));
