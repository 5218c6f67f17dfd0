#pragma once
// Windows Installer component code of the installed runtime, in registry form (38 characters
// with braces).  The runtime's installer registers its key file under this code; the test
// bed fills it into the installer source (runtime_standin/installer/) from this line, so this
// is the only place that holds it.
#define BOUNDSTART_RUNTIME_COMPONENT_CODE "{7AE3E5C1-D133-4D58-8DF6-88F59B2F1064}"
