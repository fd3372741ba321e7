// The kubernetes plug-in: registers the Kubernetes sandbox backend.
#include "velko/host/plugin.h"
#include "velko/backends/kubernetes/module.h"

VELKO_PLUGIN(velko::backends::kubernetes::register_module)
