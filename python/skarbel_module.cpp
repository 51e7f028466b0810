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

struct CallOptions {
    py::object thickness, exclude, radial, slices, batch;
    std::string method;
    int level, iterations, gpu;
    py::object sirt_like, offset, shift, width, xaxis_tilt, bin;
    py::kwargs rest;
};

// The run's options from the call's arguments, checked as the command line checks them.
RunOptions options_of(const CallOptions& c) {
    RunOptions o;
    if (!c.thickness.is_none()) {
        o.thickness_given = true;
        o.thickness = int_argument("thickness", c.thickness);
    }
    if (c.method == "sirt")
        o.sirt = true;
    else if (c.method != "wbp")
        failf("Bad method \"%s\": \"wbp\" or \"sirt\".\n\n", c.method.c_str());
    o.symmetry_level = c.level;
    o.iterations = c.iterations;
    o.gpu = c.gpu;
    auto apply = [&](const std::string& name, py::handle value) {
        if (value.is_none()) return;
        const std::string arg = "--" + name + "=" + option_text(value);
        apply_long_option(arg.c_str(), &o);
    };
    apply("exclude", c.exclude);
    apply("radial", c.radial);
    apply("slices", c.slices);
    apply("batch", c.batch);
    apply("sirt-like", c.sirt_like);
    apply("offset", c.offset);
    apply("shift", c.shift);
    apply("width", c.width);
    apply("xaxis-tilt", c.xaxis_tilt);
    apply("bin", c.bin);
    // The other long options by their names (log, mode, scale, rotx, ...):
    // True gives a flag, False or None leaves it out.
    for (auto item : c.rest) {
        std::string name = py::str(item.first);
        for (char& ch : name)
            if (ch == '_') ch = '-';
        if (name == "help" || name == "version" || name == "estimate" || name == "position-only")
            failf("Unknown option --%s.\n%s", name.c_str(), usage_text);
        if (item.second.is_none() || py::isinstance<py::bool_>(item.second)) {
            if (!item.second.is_none() && item.second.cast<bool>()) apply_long_option(("--" + name).c_str(), &o);
            continue;
        }
        apply(name, item.second);
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
            e = estimate_run_output(options, run.tilts, run.g,
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

const char* const options_doc = R"(
Options (keywords; None keeps the command line's default):
  thickness=None    slice height in pixels of the stack as stored (-z); default: the stack's width
  method="wbp"      "wbp" (weighted back-projection) or "sirt" (-S)
  level=2           WBP symmetry level 0-3 (-s); other values mean 2
  iterations=30     SIRT iterations per slice (-i)
  exclude=None      stack sections left out, numbered from 1: "1-3,60" or [1, 2, "5-7"] (--exclude)
  radial=None       WBP filter (cutoff, sigma) in cycles/sample, 0 < cutoff <= 0.5, sigma >= 0
                    (--radial); default: the Hamming taper
  slices=None       (first, last): only these slices, numbered from 0 as the stack's rows (--slices)
  batch=None        slices per pass over the matrix, 1 to 65536 (--batch); same result for every value
  gpu=-1            device number; negative chooses (-g)
  progress=None     progress(done, total) called from the calling thread as slices complete;
                    an exception it raises stops the run and is raised
  sirt_like=None    WBP filter imitating N SIRT iterations, N >= 1 (--sirt-like)
  offset=None       DELANG or (DELANG, DELXX): degrees added to every angle, tilt axis DELXX pixels
                    right of the detector's centre (--offset)
  shift=None        DX or (DX, DZ) in pixels: the reconstruction moved along X and the thickness (--shift)
  width=None        slice width W in pixels, centred on the tilt axis (--width)
  xaxis_tilt=None   the specimen's tilt A in degrees about the X axis, |A| < 90 (--xaxis-tilt)
  bin=None          average the projections over N x N blocks (--bin); lengths stay in stack pixels
  log=None          OFFSET: every input sample v becomes ln(v + OFFSET) before anything else (--log)
  mode=None         output MODE of a file: 1, 2, 6 or 12 (--mode); reconstruct returns floats
  scale=None        (ADD, MULT): file samples become (v + ADD) * MULT before the MODE (--scale)
  rotx=False        True: a file holds XY sections (--rotx); reconstruct returns (slices, thickness, width)
  position=None     True or BIN: find the specimen in the search range `thickness` first and
                    reconstruct it flat and tight (--position[=BIN]); position_margin=PIXELS as
                    --position-margin
Every error raises skarbel.Error with the command line's message. The GIL is released while
reconstructing; Ctrl-C stops the run between batches of slices.)";

// Defines name(positional..., *, the program's long options) on m: the three
// functions take the same keywords, in this order, with these defaults.
template <class Fn, class... Positional>
void def_with_options(py::module_& m, const char* name, Fn fn, const char* doc, Positional... positional) {
    m.def(name, fn, positional..., py::kw_only(), py::arg("thickness") = py::none(), py::arg("method") = "wbp",
          py::arg("level") = 2, py::arg("iterations") = 30, py::arg("exclude") = py::none(),
          py::arg("radial") = py::none(), py::arg("slices") = py::none(), py::arg("batch") = py::none(),
          py::arg("gpu") = -1, py::arg("progress") = py::none(), py::arg("sirt_like") = py::none(),
          py::arg("offset") = py::none(), py::arg("shift") = py::none(), py::arg("width") = py::none(),
          py::arg("xaxis_tilt") = py::none(), py::arg("bin") = py::none(), doc);
}

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

    auto options_from = [](py::object thickness, py::object method, py::object level, py::object iterations,
                           py::object exclude, py::object radial, py::object slices, py::object batch, py::object gpu,
                           py::object sirt_like, py::object offset, py::object shift, py::object width,
                           py::object xaxis_tilt, py::object bin, py::kwargs rest) {
        return CallOptions{thickness, exclude, radial, slices, batch, text_argument("method", method),
                           int_argument("level", level), int_argument("iterations", iterations),
                           int_argument("gpu", gpu), sirt_like, offset, shift, width, xaxis_tilt, bin, rest};
    };

    // A function of (stack, angles, options) taking the module's keyword list;
    // `progress` is accepted and not used.
    auto array_call = [options_from](auto function) {
        return [options_from, function](py::object stack, py::object angles, py::object thickness, py::object method,
                                        py::object level, py::object iterations, py::object exclude,
                                        py::object radial, py::object slices, py::object batch, py::object gpu,
                                        py::object, py::object sirt_like, py::object offset, py::object shift,
                                        py::object width, py::object xaxis_tilt, py::object bin, py::kwargs rest) {
            return function(stack, angles,
                            options_from(thickness, method, level, iterations, exclude, radial, slices, batch, gpu,
                                         sirt_like, offset, shift, width, xaxis_tilt, bin, rest));
        };
    };

    const std::string reconstruct_doc = std::string(R"(reconstruct(stack, angles, **options) -> numpy.ndarray

Reconstructs a volume from a single-axis tilt series held in memory.

stack   array (sections, rows, columns) of any real dtype: section i is the projection at
        angles[i]; float32 in C order is used without a copy, other dtypes are converted
        to float32 as the program converts MRC modes 0 and 1.
angles  sequence of one tilt angle in degrees per section.
Returns a new float32 array (slices, thickness, width): slice y reconstructed from row y of the
stack (from --slices' first), equal sample for sample to the data of the MRC file the program
writes for the same inputs and options.
)") + options_doc;
    def_with_options(
        m, "reconstruct",
        [options_from](py::object stack, py::object angles, py::object thickness, py::object method, py::object level,
                       py::object iterations, py::object exclude, py::object radial, py::object slices, py::object batch,
                       py::object gpu, py::object progress, py::object sirt_like, py::object offset, py::object shift,
                       py::object width, py::object xaxis_tilt, py::object bin, py::kwargs rest) {
            return reconstruct(stack, angles,
                               options_from(thickness, method, level, iterations, exclude, radial, slices, batch, gpu,
                                            sirt_like, offset, shift, width, xaxis_tilt, bin, rest),
                               progress);
        },
        reconstruct_doc.c_str(), py::arg("stack"), py::arg("angles"));

    const std::string estimate_doc = std::string(R"(estimate(stack, angles, **options) -> dict

The figures of the program's --estimate for these inputs, without reconstructing: memory
available on the device and the host (Mb) with the limit that sets the host's ("host",
"cgroup limit" or "address-space limit"), each method's device memory (Mb) and verdict
("fits", "does not fit", "too large for 32-bit element counts") with its note, the host memory
of the run (Mb) and the size in bytes of the MRC file the program would write. Takes
reconstruct's arguments (progress is not used).
)") + options_doc;
    def_with_options(m, "estimate", array_call(estimate), estimate_doc.c_str(), py::arg("stack"), py::arg("angles"));

    const std::string position_doc = std::string(R"(position(stack, angles, **options) -> dict

What --position finds, without the final reconstruction: "offset" and "xaxis_tilt" (degrees
added to the given ones), "shift_z" (the run's DZ) and "thickness" (pixels), "seconds", "options"
(the equivalent command-line options) and "keywords" (offset, xaxis_tilt, shift, thickness):
reconstruct(stack, angles, **other_options, **keywords) gives the volume of reconstruct(...,
position=BIN). Takes reconstruct's arguments; position=BIN picks the preview's bin.
)") + options_doc;
    def_with_options(m, "position", array_call(position), position_doc.c_str(), py::arg("stack"), py::arg("angles"));

    const std::string file_doc = std::string(R"(reconstruct_file(tilt_file, stack_file, output_file, **options) -> None

The program's run on files, in this process: the same checks, messages on standard output,
temporary file and header; the output is replaced only by a complete volume.
)") + options_doc;
    def_with_options(
        m, "reconstruct_file",
        [options_from](py::object tilt_file, py::object stack_file, py::object output_file, py::object thickness,
                       py::object method, py::object level, py::object iterations, py::object exclude,
                       py::object radial, py::object slices, py::object batch, py::object gpu, py::object progress, py::object sirt_like,
                       py::object offset, py::object shift, py::object width, py::object xaxis_tilt, py::object bin,
                       py::kwargs rest) {
            reconstruct_file(text_argument("tilt_file", tilt_file), text_argument("stack_file", stack_file),
                             text_argument("output_file", output_file),
                             options_from(thickness, method, level, iterations, exclude, radial, slices, batch, gpu,
                                          sirt_like, offset, shift, width, xaxis_tilt, bin, rest),
                             progress);
        },
        file_doc.c_str(), py::arg("tilt_file"), py::arg("stack_file"), py::arg("output_file"));
}
