// The Python interpreter that draws local charts.
//
// $VELKO_PYTHON when set and non-empty (used as given, not checked). Otherwise the first
// `python3` or `python` in PATH order (each PATH entry tried for python3, then python) that
// can import every module of CHART_MODULES. The search runs once per PATH value and its
// outcome is kept for the life of the process; concurrent callers wait for the one search.
#pragma once

#include <string>
#include <vector>

namespace velko::middleware::analyst {

// What chart scripts import.
extern const std::vector<std::string> CHART_MODULES;

// The interpreter to run chart scripts with. Throws ModuleNotFoundError when no candidate
// can import the chart modules; its text names each candidate tried with the modules it
// lacks, and says how to fix it.
std::string chart_python_interpreter();

// The modules of `modules` that `python` cannot import, in the given order (runs the
// interpreter once). Every module counts as missing when the interpreter cannot run.
std::vector<std::string> missing_python_modules(const std::string& python, const std::vector<std::string>& modules);

}  // namespace velko::middleware::analyst
