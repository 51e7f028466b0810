// The Python module: the program's run on NumPy arrays (array in, array out)
// and on files, with the command line's options, checks and messages.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "driver/estimate.h"
#include "driver/position.h"
#include "driver/long_options.h"
#include "driver/option_table.h"
#include "driver/run.h"
#include "driver/run_memory.h"
#include "driver/run_steps.h"
#include "gpu/gpu_layer.h"
#include "io/fail.h"
#include "method/method.h"

namespace py = pybind11;

#ifndef SKARBEL_VERSION
#define SKARBEL_VERSION "unknown"
#endif

namespace {

// A Python exception (Ctrl-C, the progress callback's) is set in this
// thread's state: the run unwinds and it is raised once the GIL is back.
struct PythonErrorPending {};

// The returned volume: anonymous memory in huge pages where the system
// offers them, since its first touch (page faults) is a large part of the
// cost of filling hundreds of megabytes.
struct Volume {
    float* values = nullptr;
    size_t bytes = 0;
    explicit Volume(size_t floats) : bytes(std::max<size_t>(floats, 1) * sizeof(float)) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        madvise(p, bytes, MADV_HUGEPAGE);
        values = static_cast<float*>(p);
    }
    ~Volume() {
        if (values) munmap(values, bytes);
    }
};

// The text of a long option's value: sequences joined by commas, as typed on the command line.
std::string option_text(py::handle value) {
    if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
        std::string text;
        for (py::handle item : value) {
            if (!text.empty()) text += ',';
            text += std::string(py::str(item));
        }
        return text;
    }
    return py::str(value);
}

// Arguments that must be of one type: anything else raises skarbel.Error naming
// the argument, as a bad option does on the command line.
[[noreturn]] void bad_argument(const char* name, py::handle value, const char* needed) {
    failf("Bad %s argument %s: %s is needed.\n\n", name, std::string(py::repr(value)).c_str(), needed);
}

int int_argument(const char* name, py::handle value) {
    if (!py::isinstance<py::bool_>(value) && PyIndex_Check(value.ptr())) {
        const long long v = PyLong_AsLongLong(py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr())).ptr());
        if (!PyErr_Occurred() && v >= INT_MIN && v <= INT_MAX) return (int)v;
        PyErr_Clear();
    }
    bad_argument(name, value, "an integer that fits 32 bits");
}

std::string text_argument(const char* name, py::handle value) {
    if (py::isinstance<py::bytes>(value)) return py::bytes(py::reinterpret_borrow<py::bytes>(value));
    if (!py::isinstance<py::str>(value)) bad_argument(name, value, "a string");
    return py::str(value);
}

// The keywords of a call, by name: the option table's (see option_table.h).
struct CallOptions {
    py::kwargs keywords;
};

// The row of the option that the keyword name gives ("_" or "-" between words), or null.
const OptionSpec* keyword_option(std::string name) {
    for (char& ch : name)
        if (ch == '-') ch = '_';
    for (const OptionSpec& option : option_table())
        if (option.keyword.name && name == option.keyword.name) return &option;
    return nullptr;
}

// The keywords in the order help() has always shown them (progress is the
// module's own); the table's other keywords follow in its order.
const char* const first_keywords[] = {"thickness", "method", "level",  "iterations", "exclude",    "radial",
                                      "slices",    "batch",  "gpu",    "progress",   "sirt_like",  "offset",
                                      "shift",     "width",  "xaxis_tilt", "bin"};

bool first_keyword(const char* name) {
    return std::find_if(std::begin(first_keywords), std::end(first_keywords),
                        [&](const char* k) { return std::string(k) == name; }) != std::end(first_keywords);
}

// Applies one keyword as its option, with the command line's checks and messages.
void apply_keyword(const OptionSpec& option, py::handle value, RunOptions* o) {
    const char* name = option.keyword.name;
    if (value.is_none()) return;
    std::string text;
    switch (option.keyword.type) {
        case KeywordType::integer: text = std::to_string(int_argument(name, value)); break;
        case KeywordType::method:
            text = text_argument(name, value);
            if (text == "sirt") break;
            if (text != "wbp") failf("Bad method \"%s\": \"wbp\" or \"sirt\".\n\n", text.c_str());
            return;
        default:
            // The keywords beyond the first ones take True as the bare option
            // and False as leaving it out, as they always have.
            if (py::isinstance<py::bool_>(value) && !first_keyword(name)) {
                if (value.cast<bool>()) apply_long_option(("--" + std::string(option.name)).c_str(), o);
                return;
            }
            if (option.value != OptionValue::required && py::isinstance<py::bool_>(value)) {
                if (!value.cast<bool>()) return;
                option.set(o, {option, nullptr});
                return;
            }
            text = option_text(value);
            if (option.value == OptionValue::none) failf("Option --%s takes no value.\n\n", option.name);
    }
    option.set(o, {option, option.value == OptionValue::none ? nullptr : text.c_str()});
}

// The run's options from the call's keywords, in the order given, checked as
// the command line checks them.
RunOptions options_of(const CallOptions& c) {
    RunOptions o;
    for (auto item : c.keywords) {
        const std::string name = py::str(item.first);
        const OptionSpec* option = keyword_option(name);
        if (!option) {
            std::string dashed = name;
            for (char& ch : dashed)
                if (ch == '_') ch = '-';
            failf("Unknown option --%s.\n%s", dashed.c_str(), usage_text().c_str());
        }
        apply_keyword(*option, item.second, &o);
    }
    check_options(&o);
    return o;
}

// The stack as float32 sections x rows x columns, C order (no copy when it is already).
py::array_t<float, py::array::c_style> stack_of(py::handle stack) {
    py::array any = py::array::ensure(stack);
    if (!any) fail("Stack not acceptable: not an array.\n\n");
    const char kind = any.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
        failf("Stack not acceptable: dtype %s is not a real number type.\n\n",
              std::string(py::str(any.dtype())).c_str());
    if (any.ndim() != 3)
        failf("Stack not acceptable: %d dimensions, (sections, rows, columns) are needed.\n\n", (int)any.ndim());
    for (int d = 0; d < 3; ++d)
        if (any.shape(d) > INT32_MAX) failf("Stack not acceptable: dimension %d above 2147483647.\n\n", d);
    return py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(any);
}

std::vector<double> angles_of(py::handle angles) {
    py::array_t<double, py::array::c_style | py::array::forcecast> a =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(angles);
    if (!a || a.ndim() != 1) fail("Tilt angles not acceptable: a sequence of numbers, one per section, is needed.\n\n");
    return std::vector<double>(a.data(), a.data() + a.shape(0));
}

// After each batch, on the calling thread: Ctrl-C and the progress callback.
std::function<void(int, int)> batch_hook(const py::object& progress) {
    return [progress](int done, int total) {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw PythonErrorPending{};
        if (progress.is_none()) return;
        try {
            progress(done, total);
        } catch (py::error_already_set& e) {
            e.restore();
            throw PythonErrorPending{};
        }
    };
}

// Runs fn without the GIL, so that calls from other threads run beside it (each
// run owns its plan); Python errors set meanwhile are raised.
template <typename Fn>
void without_gil(Fn&& fn) {
    try {
        py::gil_scoped_release nogil;
        fn();
    } catch (const PythonErrorPending&) {
        throw py::error_already_set();
    }
}

// The stack's floats (which must outlive the result) and its angles.
ArrayStack array_stack_of(const py::array_t<float, py::array::c_style>& stack, py::handle angles_in) {
    ArrayStack array;
    array.values = stack.data();
    array.nz = (int)stack.shape(0);
    array.ny = (int)stack.shape(1);
    array.nx = (int)stack.shape(2);
    array.angles_deg = angles_of(angles_in);
    return array;
}

py::array reconstruct(py::handle stack_in, py::handle angles_in, const CallOptions& call, py::object progress) {
    const RunOptions options = options_of(call);
    const py::array_t<float, py::array::c_style> stack = stack_of(stack_in);
    const ArrayStack array = array_stack_of(stack, angles_in);
    std::unique_ptr<Volume> volume;
    ArrayOutput out;
    out.allocate = [&](size_t floats) {
        volume = std::make_unique<Volume>(floats);
        return volume->values;
    };
    without_gil([&] {
        RunSink sink = array_sink(&out);
        sink.after_batch = batch_hook(progress);
        run(options, RunSource{&array}, sink);
    });
    Volume* owned = volume.release();
    py::capsule owner(owned, [](void* p) { delete static_cast<Volume*>(p); });
    return py::array_t<float>({out.slices, out.thickness, out.width}, owned->values, owner);
}

py::dict estimate(py::handle stack_in, py::handle angles_in, const CallOptions& call) {
    const RunOptions options = options_of(call);
    const py::array_t<float, py::array::c_style> stack = stack_of(stack_in);
    const ArrayStack array = array_stack_of(stack, angles_in);
    RunEstimate e{};
    bool device_is_host = true;
    double host_mb = 0;
    float device_mb = 0;
    const char* memory_limit = "host";
    without_gil([&] {
        RunSink sink;
        sink.estimate = [&](Run& run) {
            const GpuDevice device = gpu_select_device(options.gpu, false);
            e = estimate_run_output(options, run.tilts.get(), run.g,
                                    {1024 + 4LL * (long long)run_section_floats(run) * slice_count(run.range),
                                     run.extra_host_mb});
            device_is_host = !gpu_cuda_available();
            host_mb = host_available_memory_mb();
            memory_limit = host_memory_bound();
            device_mb = device.memory_mb;
        };
        // The figures of the run as given: position=... is not looked for here.
        RunOptions figures = options;
        figures.estimate = true;
        figures.position = false;
        run(figures, RunSource{&array}, sink);
    });
    py::dict methods;
    for (int m = 0; m < kEstimatedMethods; ++m) {
        py::dict d;
        d["device_mb"] = (double)e.method[m].device_mb;
        d["verdict"] = estimate_verdict(e.method[m], device_mb, device_is_host, host_mb);
        d["note"] = e.method[m].note ? py::object(py::str(e.method[m].note)) : py::object(py::none());
        methods[estimate_method_names[m]] = d;
    }
    py::dict result;
    result["device_memory_available_mb"] = (double)device_mb;
    result["host_memory_available_mb"] = host_mb;
    result["host_memory_limit"] = memory_limit;
    result["host_threads"] = e.host_threads;
    result["methods"] = methods;
    result["host_memory_mb"] = e.host_mb;
    result["host_memory_verdict"] =
        run_memory_fits(RunMemory{e.host_mb, 0.0}, false, host_mb) ? "fits" : "does not fit";
    result["output_bytes"] = e.output_bytes;
    return result;
}

void reconstruct_file(const std::string& tilt_file, const std::string& stack_file, const std::string& output_file,
                      const CallOptions& call, py::object progress) {
    RunOptions options = options_of(call);
    options.tilt_file = tilt_file;
    options.input_file = stack_file;
    options.output_file = output_file;
    without_gil([&] {
        FileOutput out;
        RunSink sink = file_sink(&out);
        sink.after_batch = batch_hook(progress);
        run(options, RunSource{}, sink);
    });
}

// What --position finds for these inputs, and the keywords of reconstruct that
// give the positioned volume.
py::dict position(py::handle stack_in, py::handle angles_in, const CallOptions& call) {
    RunOptions options = options_of(call);
    options.position = true;
    const py::array_t<float, py::array::c_style> stack = stack_of(stack_in);
    const ArrayStack array = array_stack_of(stack, angles_in);
    options.position_only = true;
    Position found;
    without_gil([&] {
        RunSink sink;
        sink.found = [&](const Position& p) { found = p; };
        run(options, RunSource{&array}, sink);
    });
    const RunOptions o = positioned_options(options, found.options);
    const Alignment& al = o.alignment;
    py::dict keywords;
    keywords["offset"] = py::make_tuple(al.angle_offset, al.axis_offset);
    keywords["xaxis_tilt"] = al.xaxis_tilt;
    keywords["shift"] = py::make_tuple(al.shift_x, al.shift_z);
    keywords["thickness"] = o.thickness;
    py::dict d;
    d["offset"] = found.offset_deg;
    d["xaxis_tilt"] = found.xtilt_deg;
    d["shift_z"] = found.shift_z;
    d["thickness"] = found.thickness;
    d["seconds"] = found.seconds;
    d["options"] = found.options;
    d["keywords"] = keywords;
    return d;
}


struct KeywordDoc {
    std::string name, shown_default, doc;
    std::string note;  // the option, its units and the default that None keeps
};

// Every keyword with its default and text: the table's, with its option, units and default.
std::vector<KeywordDoc> keyword_docs() {
    std::vector<KeywordDoc> table;
    for (const OptionSpec& option : option_table()) {
        const ModuleKeyword& k = option.keyword;
        if (!k.name) continue;
        std::string note = "(" + option_head(option) + (option.units ? std::string("; ") + option.units : "") + ")";
        if (std::string(k.shown_default) == "None" && option.default_text) note += std::string("; default: ") + option.default_text;
        table.push_back({k.name, k.shown_default, k.doc, note});
    }
    table.push_back({"progress", "None",
                     "progress(done, total) called from the calling thread as slices complete;\n"
                     "an exception it raises stops the run and is raised", ""});
    std::vector<KeywordDoc> ordered;
    for (const char* name : first_keywords)
        for (const KeywordDoc& d : table)
            if (d.name == name) ordered.push_back(d);
    for (const KeywordDoc& d : table)
        if (std::find(std::begin(first_keywords), std::end(first_keywords), d.name) == std::end(first_keywords))
            ordered.push_back(d);
    return ordered;
}

// "name(positional, *, keyword=default, ...) -> returns", wrapped.
std::string signature(const std::string& name, const std::string& positional, const std::string& returns) {
    std::string text = name + "(" + positional + ", *";
    size_t line_start = 0;
    for (const KeywordDoc& d : keyword_docs()) {
        const std::string item = d.name + "=" + d.shown_default;
        if (text.size() - line_start + item.size() + 2 > 96) {
            text += ",\n    ";
            line_start = text.size() - 4;
        } else {
            text += ", ";
        }
        text += item;
    }
    return text + ") -> " + returns + "\n";
}

// The keywords' section of the docstrings.
std::string options_doc() {
    constexpr size_t column = 20;
    std::string text = "\nOptions (keywords; None keeps the command line's default):\n";
    for (const KeywordDoc& d : keyword_docs()) {
        std::string line = "  " + d.name + "=" + d.shown_default;
        line += std::string(line.size() < column ? column - line.size() : 1, ' ');
        for (char c : d.doc) line += c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, c);
        // The note follows the text, or starts a line of its own where it would pass column 100.
        const bool fits = line.size() - (line.rfind('\n') + 1) + 1 + d.note.size() <= 100;
        if (!d.note.empty()) line += (fits ? " " : "\n" + std::string(column, ' ')) + d.note;
        text += line + "\n";
    }
    return text + "Every error raises skarbel.Error with the command line's message. The GIL is released while\n"
                  "reconstructing; Ctrl-C stops the run between batches of slices.";
}

// The progress keyword, taken out of the options.
py::object take_progress(py::kwargs& keywords) { return keywords.attr("pop")("progress", py::none()); }

}  // namespace

PYBIND11_MODULE(skarbel, m) {
    m.doc() = "skarbel: tomographic reconstruction (weighted back-projection and SIRT) of NumPy arrays "
              "and MRC files, with the engine and the results of the skarbel program.";
    m.attr("__version__") = SKARBEL_VERSION;
    static py::exception<RunError> error(m, "Error", PyExc_RuntimeError);
    error.attr("__doc__") = "An error of a run: its message is the one the skarbel program prints.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const RunError& e) {
            error(e.what());
        }
    });

    // The signatures are the docstrings' first lines, written from the option table.
    py::options doc_options;
    doc_options.disable_function_signatures();

    // A function of (stack, angles, options) taking the module's keywords;
    // `progress` is accepted and not used.
    auto array_call = [](auto function) {
        return [function](py::object stack, py::object angles, py::kwargs keywords) {
            take_progress(keywords);
            return function(stack, angles, CallOptions{keywords});
        };
    };

    const std::string reconstruct_doc = signature("reconstruct", "stack, angles", "numpy.ndarray") + R"(
Reconstructs a volume from a single-axis tilt series held in memory.

stack   array (sections, rows, columns) of any real dtype: section i is the projection at
        angles[i]; float32 in C order is used without a copy, other dtypes are converted
        to float32 as the program converts MRC modes 0 and 1.
angles  sequence of one tilt angle in degrees per section.
Returns a new float32 array (slices, thickness, width): slice y reconstructed from row y of the
stack (from --slices' first), equal sample for sample to the data of the MRC file the program
writes for the same inputs and options.
)" + options_doc();
    m.def(
        "reconstruct",
        [](py::object stack, py::object angles, py::kwargs keywords) {
            py::object progress = take_progress(keywords);
            return reconstruct(stack, angles, CallOptions{keywords}, progress);
        },
        py::arg("stack"), py::arg("angles"), reconstruct_doc.c_str());

    const std::string estimate_doc = signature("estimate", "stack, angles", "dict") + R"(
The figures of the program's --estimate for these inputs, without reconstructing: memory
available on the device and the host (Mb) with the limit that sets the host's ("host",
"cgroup limit" or "address-space limit"), each method's device memory (Mb) and verdict
("fits", "does not fit", "too large for 32-bit element counts") with its note, the host memory
of the run (Mb) and the size in bytes of the MRC file the program would write. Takes
reconstruct's arguments (progress is not used).
)" + options_doc();
    m.def("estimate", array_call(estimate), py::arg("stack"), py::arg("angles"), estimate_doc.c_str());

    const std::string position_doc = signature("position", "stack, angles", "dict") + R"(
What --position finds, without the final reconstruction: "offset" and "xaxis_tilt" (degrees
added to the given ones), "shift_z" (the run's DZ) and "thickness" (pixels), "seconds", "options"
(the equivalent command-line options) and "keywords" (offset, xaxis_tilt, shift, thickness):
reconstruct(stack, angles, **other_options, **keywords) gives the volume of reconstruct(...,
position=BIN). Takes reconstruct's arguments; position=BIN picks the preview's bin.
)" + options_doc();
    m.def("position", array_call(position), py::arg("stack"), py::arg("angles"), position_doc.c_str());

    const std::string file_doc = signature("reconstruct_file", "tilt_file, stack_file, output_file", "None") + R"(
The program's run on files, in this process: the same checks, messages on standard output,
temporary file and header; the output is replaced only by a complete volume.
)" + options_doc();
    m.def(
        "reconstruct_file",
        [](py::object tilt_file, py::object stack_file, py::object output_file, py::kwargs keywords) {
            py::object progress = take_progress(keywords);
            reconstruct_file(text_argument("tilt_file", tilt_file), text_argument("stack_file", stack_file),
                             text_argument("output_file", output_file), CallOptions{keywords}, progress);
        },
        py::arg("tilt_file"), py::arg("stack_file"), py::arg("output_file"), file_doc.c_str());
}
