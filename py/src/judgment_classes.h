#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "oq/judgment.h"

namespace oqpy {

// The result classes of a compilation, each created once per process on first need.
PyObject* judgment_class();
PyObject* live_judgment_class();
PyObject* derivation_class();
PyObject* derivation_step_class();

// A Judgment or LiveJudgment showing `judgment`.
PyObject* new_judgment(std::shared_ptr<const oq::CompiledJudgment> judgment);
PyObject* new_live_judgment(std::shared_ptr<const oq::CompiledJudgment> judgment);

// The four classes that show a compiled judgment, for pickling.
enum class JudgmentView : std::uint8_t { Judgment, LiveJudgment, Derivation, DerivationStep };

// Which view `obj` is, its record and (for a DerivationStep) the step's index; false when it is
// none of them.
bool judgment_view_of(PyObject* obj, JudgmentView& view,
                      std::shared_ptr<const oq::CompiledJudgment>& judgment, std::uint32_t& step);
// A new object of `view` showing `judgment` (step `step` of it for a DerivationStep).
PyObject* new_judgment_view(JudgmentView view, std::shared_ptr<const oq::CompiledJudgment> judgment,
                            std::uint32_t step);

// A Judgment argument (exactly that class, not a LiveJudgment), sharing its record.
bool to_judgment(PyObject* obj, std::shared_ptr<const oq::CompiledJudgment>& out);

// The module functions `compile` and `compile_static`, owned by `module`.
PyObject* compile_function(PyObject* module);
PyObject* compile_static_function(PyObject* module);
// The package's private `_compile_at` and `_compile_static_at`: compilation as of a given moment.
PyObject* compile_at_function(PyObject* module);
PyObject* compile_static_at_function(PyObject* module);
// The package's private `_moment`: Unix seconds as compilation reads them.
PyObject* moment_function(PyObject* module);
// The package's private `_evaluate_live`: a live evaluation and the check that decided it.
PyObject* evaluate_live_function(PyObject* module);

}  // namespace oqpy
