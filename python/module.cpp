// cellfreq._core: the public C++ API as a Python module, for the package
// python/cellfreq/.
//
// run() takes a source and settings as plain dicts and returns numpy
// arrays. The analysis runs on a thread of its own with the GIL released;
// the calling thread waits in short slices, checking for Ctrl-C and
// forwarding progress, so that KeyboardInterrupt stops the run within a
// slice and leaves nothing behind. Columns are read in place: the arrays
// must stay alive and unchanged for the call, which the caller's dict
// guarantees. Results are moved into arrays that own them, never copied.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "cellfreq/cellfreq.h"

namespace py = pybind11;

namespace {

// How long the waiting thread sleeps between checks for Ctrl-C.
constexpr auto slice = std::chrono::milliseconds(50);
// The least time between two calls of the progress callable.
constexpr auto progress_interval = std::chrono::milliseconds(100);

// The module's exception type, set up at import.
PyObject* failure_type = nullptr;

// A vector moved into a numpy array that owns it.
template <class T>
py::array_t<T> toarray(std::vector<T>&& v) {
  auto* held = new std::vector<T>(std::move(v));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(static_cast<py::ssize_t>(held->size()), held->data(), owner);
}

// Text of the run (ids, the map) as str: UTF-8, any other byte kept as a
// lone surrogate, so that no id is lost or refused.
py::str totext(std::string_view s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

// settings[key] when it is present and not None.
std::optional<py::object> given(const py::dict& d, const char* key) {
  if (!d.contains(key)) return std::nullopt;
  py::object v = d[key];
  if (v.is_none()) return std::nullopt;
  return v;
}

template <class T>
void take(const py::dict& d, const char* key, T& into) {
  if (auto v = given(d, key)) into = v->cast<T>();
}

cellfreq::settings tosettings(const py::dict& d, cellfreq::wanted& want) {
  cellfreq::settings s;
  take(d, "cell_size", s.cell_size);
  take(d, "group_size", s.group_size);
  take(d, "threshold", s.threshold);
  if (auto v = given(d, "users")) s.users = v->cast<std::int32_t>();
  if (auto v = given(d, "objects")) s.objects = v->cast<std::int32_t>();
  take(d, "crs", s.crs);
  take(d, "grid_crs", s.grid_crs);
  take(d, "memory_limit", s.memory_limit);
  take(d, "cell_file", s.cell_file);
  take(d, "id", s.id_column);
  take(d, "x", s.x_column);
  take(d, "y", s.y_column);
  take(d, "time", s.time_column);
  if (auto v = given(d, "delimiter")) {
    const auto text = v->cast<std::string>();
    if (text.size() != 1) throw py::value_error("delimiter must be one character, not '" + text + "'");
    s.delimiter = text[0];
  }
  want = {};
  if (auto v = given(d, "want")) {
    want.frequent = false;
    for (const py::handle item : *v) {
      const auto w = item.cast<std::string>();
      bool* flag = w == "frequent" ? &want.frequent
                   : w == "summary" ? &want.summary
                   : w == "visits"  ? &want.visits
                   : w == "ids"     ? &want.ids
                   : w == "map"     ? &want.map
                                    : nullptr;
      if (flag == nullptr) throw py::value_error("unknown result '" + w + "' in want");
      *flag = true;
    }
  }
  return s;
}

// What the columns of a source point into, kept alive for the run.
struct heldcolumns {
  std::vector<py::object> owners;
  std::vector<std::string_view> ids;
};

// A 1-D C-contiguous array of `T` as a span, without a copy; TypeError
// otherwise.
template <class T>
std::span<const T> view(const py::object& o, const char* name, heldcolumns& held) {
  auto a = py::reinterpret_borrow<py::array>(o);
  if (a.ndim() != 1 || (a.flags() & py::array::c_style) == 0)
    throw py::type_error(std::string(name) + " must be a 1-D C-contiguous array");
  held.owners.push_back(a);
  return {static_cast<const T*>(a.data()), static_cast<std::size_t>(a.shape(0))};
}

// Whether `o` is a numpy array of T.
template <class T>
bool arrayof(const py::handle& o) {
  return py::isinstance<py::array>(o) && py::reinterpret_borrow<py::array>(o).dtype().is(py::dtype::of<T>());
}

// x or y: float64 or float32.
std::variant<std::span<const double>, std::span<const float>> coordinate(const py::object& o, const char* name,
                                                                          heldcolumns& held) {
  if (arrayof<double>(o)) return view<double>(o, name, held);
  if (arrayof<float>(o)) return view<float>(o, name, held);
  throw py::type_error(std::string(name) + " must be a float64 or float32 numpy array");
}

cellfreq::columns tocolumns(const py::dict& src, heldcolumns& held) {
  cellfreq::columns c;
  py::object ids = src["ids"];
  if (py::isinstance<py::array>(ids) && py::reinterpret_borrow<py::array>(ids).dtype().kind() != 'O') {
    if (!arrayof<std::int64_t>(ids))
      throw py::type_error("ids must be an int64 numpy array, or a list or object array of str");
    c.ids = view<std::int64_t>(ids, "ids", held);
  } else {
    // Text ids: the UTF-8 of each str, which lives as long as the str. A
    // list or an object array holds its str objects; anything else might
    // make them only as it is iterated.
    if (!py::isinstance<py::list>(ids) && !py::isinstance<py::array>(ids))
      throw py::type_error("ids must be an int64 numpy array, or a list or object array of str");
    held.owners.push_back(ids);
    for (const py::handle item : ids) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(item.ptr()) ? PyUnicode_AsUTF8AndSize(item.ptr(), &size) : nullptr;
      if (text == nullptr) {
        PyErr_Clear();
        throw py::type_error("text ids must all be str");
      }
      held.ids.emplace_back(text, static_cast<std::size_t>(size));
    }
    c.ids = std::span<const std::string_view>(held.ids);
  }
  c.x = coordinate(src["x"], "x", held);
  c.y = coordinate(src["y"], "y", held);
  if (src.contains("time") && !py::object(src["time"]).is_none()) {
    py::object t = src["time"];
    if (!arrayof<double>(t))
      throw py::type_error("time must be a float64 numpy array or None");
    c.time = view<double>(t, "time", held);
  }
  return c;
}

const char* kindname(cellfreq::error_kind k) {
  switch (k) {
    case cellfreq::error_kind::usage: return "usage";
    case cellfreq::error_kind::input_output: return "input_output";
    case cellfreq::error_kind::interrupted: return "interrupted";
  }
  return "input_output";
}

// Raises _core.Failure for `e`.
[[noreturn]] void raise(const cellfreq::error& e) {
  py::object failure = py::reinterpret_borrow<py::object>(failure_type)(e.what());
  failure.attr("kind") = kindname(e.kind());
  failure.attr("errno") = e.errnum();
  failure.attr("message") = totext(e.what());
  PyErr_SetObject(failure_type, failure.ptr());
  throw py::error_already_set();
}

py::dict todict(cellfreq::results&& r, const cellfreq::wanted& want) {
  py::dict out;
  if (want.frequent) {
    py::dict f;
    f["user"] = toarray(std::move(r.frequent.user));
    f["x"] = toarray(std::move(r.frequent.x));
    f["y"] = toarray(std::move(r.frequent.y));
    f["position"] = toarray(std::move(r.frequent.position));
    out["frequent"] = f;
  }
  if (want.summary) {
    py::dict f;
    f["user"] = toarray(std::move(r.summary.user));
    f["x"] = toarray(std::move(r.summary.x));
    f["y"] = toarray(std::move(r.summary.y));
    f["visits"] = toarray(std::move(r.summary.visits));
    out["summary"] = f;
  }
  if (want.visits) {
    py::dict f;
    f["x"] = toarray(std::move(r.visits.x));
    f["y"] = toarray(std::move(r.visits.y));
    f["visits"] = toarray(std::move(r.visits.visits));
    out["visits"] = f;
  }
  if (want.ids) {
    py::list ids(r.ids.size());
    for (std::size_t i = 0; i < r.ids.size(); ++i) ids[i] = totext(r.ids[i]);
    out["ids"] = ids;
  }
  if (want.map) out["map"] = totext(r.map);
  out["group_size"] = r.info.group_size;
  out["users"] = r.info.users;
  out["objects"] = r.info.objects;
  out["cell_size"] = r.info.cell_size;
  out["grid_crs"] = r.info.grid_crs.empty() ? py::object(py::none()) : py::object(totext(r.info.grid_crs));
  py::list messages;
  for (const std::string& m : r.messages) messages.append(totext(m));
  out["messages"] = messages;
  return out;
}

// The run on a thread of its own, waited for in slices with the GIL held
// only between them.
py::dict run(const py::dict& source, const py::dict& settingsdict, const py::object& progress) {
  cellfreq::wanted want;
  cellfreq::settings s = tosettings(settingsdict, want);
  heldcolumns held;
  cellfreq::input in;
  if (source.contains("path")) {
    const auto format = source.contains("format") ? py::object(source["format"]).cast<std::string>() : "tab";
    if (format != "tab" && format != "csv") throw py::value_error("format must be 'tab' or 'csv', not '" + format + "'");
    in = cellfreq::trace_file{py::str(source["path"]).cast<std::string>(),
                              format == "csv" ? cellfreq::trace_format::csv : cellfreq::trace_format::tab};
  } else {
    in = tocolumns(source, held);
  }
  std::atomic<std::int64_t> done{-1}, total{-1};
  if (!progress.is_none())
    s.progress = [&done, &total](std::int64_t d, std::int64_t t) {
      total = t;
      done = d;
    };

  cellfreq::cancel_token cancel;
  cellfreq::results results;
  std::exception_ptr failed;
  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
  std::thread worker([&] {
    try {
      results = cellfreq::run(in, s, want, &cancel);
    } catch (...) {
      failed = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(m);
    finished = true;
    cv.notify_all();
  });
  // Stops the run and waits for it, for an exception of this thread.
  const auto stop = [&] {
    cancel.cancel();
    const py::gil_scoped_release nogil;
    worker.join();
  };
  std::int64_t shown = -1;
  auto last = std::chrono::steady_clock::now() - progress_interval;
  for (bool over = false; !over;) {
    {
      const py::gil_scoped_release nogil;
      std::unique_lock<std::mutex> lock(m);
      over = cv.wait_for(lock, slice, [&] { return finished; });
    }
    if (PyErr_CheckSignals() != 0) {
      stop();
      throw py::error_already_set();
    }
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t d = done;
    if (!progress.is_none() && d != shown && d >= 0 && (over || now - last >= progress_interval)) {
      shown = d;
      last = now;
      try {
        progress(d, total.load());
      } catch (...) {
        stop();
        throw;
      }
    }
  }
  worker.join();
  if (failed) {
    try {
      std::rethrow_exception(failed);
    } catch (const cellfreq::error& e) {
      raise(e);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      throw py::error_already_set();
    }
  }
  return todict(std::move(results), want);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled core of the cellfreq package: one run of the analysis, as the command line's.";
  failure_type = PyErr_NewExceptionWithDoc(
      "cellfreq._core.Failure",
      "A failed run: `kind` is 'usage', 'input_output' or 'interrupted', `errno` the system's error number "
      "(0 if none), `message` the command line's message without 'cellfreq: '.",
      PyExc_Exception, nullptr);
  if (failure_type == nullptr) throw py::error_already_set();
  m.attr("Failure") = py::reinterpret_borrow<py::object>(failure_type);
  m.def("version", &cellfreq::version, "The number that `cellfreq --version` prints.");
  m.def("run", &run, py::arg("source"), py::arg("settings"), py::arg("progress") = py::none(),
        "Runs the analysis of `source` ({'path', 'format'} or columns {'ids', 'x', 'y', 'time'}) with "
        "`settings` (the command line's options by name, 'want' the results to return) and returns a dict of "
        "numpy arrays. Releases the GIL; Ctrl-C stops it and raises KeyboardInterrupt.");
}
