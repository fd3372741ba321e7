// The kubernetes plug-in: registers the Kubernetes sandbox backend.
#include "velko/backends/kubernetes/module.h"
#include "velko/host/plugin.h"

VELKO_PLUGIN(velko::backends::kubernetes::register_module)
