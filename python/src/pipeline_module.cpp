// velmora._pipeline_ext (imported as velmora._pipeline): the read pipeline that the velmora command runs, for
// velmora.fastq and velmora.dask.  Whole jobs (run) are the command's own
// code path; a Dask worker runs the same passes one shard at a time
// (count, assign) over a reference it loads once and keeps.
//
// Every call that reads or decides releases the GIL, so a Dask worker's
// event loop and other Python threads keep running.  Errors: a usage_error
// (options that cannot be accepted) raises ValueError, a data_error (a file
// or its contents) raises DataError, a subclass of ValueError.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "assign.h"
#include "base.h"
#include "fastq.h"
#include "output.h"
#include "table.h"
#include "whitelist.h"

namespace py = pybind11;
using namespace velmora_pipeline;

namespace {

template <typename T>
T take(const py::dict &d, const char *key, T fallback) {
    if (!d.contains(key) || d[key].is_none()) return fallback;
    return d[key].cast<T>();
}

// The options of `velmora assign`, from the dict velmora.fastq builds
// (already checked against the command's bounds there).
assign_options options_from(const py::dict &d) {
    assign_options o;
    o.whitelist_path = take<std::string>(d, "whitelist", "");
    o.reads_paths = take<std::vector<std::string>>(d, "reads", {});
    o.out.given = take<std::string>(d, "out", "");
    o.summary.given = take<std::string>(d, "summary", "");
    o.counts.given = take<std::string>(d, "counts", "");
    o.knee.given = take<std::string>(d, "knee_plot", "");
    o.cells.given = take<std::string>(d, "cells", "");
    o.barcode_start = take<uint64_t>(d, "barcode_start", 0);
    if (d.contains("barcode_length") && !d["barcode_length"].is_none()) {
        o.barcode_length = d["barcode_length"].cast<uint64_t>();
        o.has_barcode_length = true;
    }
    o.hamming = take<bool>(d, "hamming", false);
    o.k = take<int32_t>(d, "k", 1);
    o.segment_bounds = take<std::vector<int32_t>>(d, "segment_bounds", {});
    o.threads = take<unsigned>(d, "threads", 1);
    o.batch_size = take<size_t>(d, "batch_size", 8192);
    o.rescue = take<bool>(d, "rescue", true);
    o.fixed_window = take<bool>(d, "fixed_window", false) || o.hamming;
    o.umi_correct = take<bool>(d, "umi_correct", true);
    o.min_exact = take<uint64_t>(d, "min_exact", o.min_exact);
    o.prior_pseudocount = take<double>(d, "prior_pseudocount", o.prior_pseudocount);
    o.indel_weight = take<double>(d, "indel_weight", o.indel_weight);
    o.min_posterior = take<double>(d, "min_posterior", o.min_posterior);
    o.max_line_length = take<uint64_t>(d, "max_line_length", o.max_line_length);
    // Read structures: lanes holds each lane's files; whitelists one per
    // barcode segment or one for all.
    o.read_structures = take<std::vector<std::string>>(d, "read_structures", {});
    o.lanes = take<std::vector<std::vector<std::string>>>(d, "lanes", {});
    o.whitelist_paths = take<std::vector<std::string>>(d, "whitelists", {});
    for (const std::string &p : take<std::vector<std::string>>(d, "out_fastq", {}))
        o.out_fastq.emplace_back("out_fastq", "tagged FASTQ", p);
    o.out_bam.given = take<std::string>(d, "out_bam", "");
    o.command_line = take<std::string>(d, "command_line", "");
    return o;
}

// A descriptor on an anonymous in-memory file holding data, at its start.
int memory_file(const std::string &data) {
    const int fd = memfd_create("velmora-whitelist", MFD_CLOEXEC);
    if (fd < 0) throw data_error(std::string("cannot hold the whitelist in memory: ") + std::strerror(errno));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = errno;
            close(fd);
            throw data_error(std::string("cannot hold the whitelist in memory: ") + std::strerror(err));
        }
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// A whitelist and its index, built once and shared by the shards a worker
// runs (read-only, so threads may share it too).
class py_reference {
public:
    // data: the file's bytes (plain or gzip); name: what errors call it.
    py_reference(const py::bytes &data, const std::string &name, uint32_t tables, uint64_t max_line_length) {
        std::string bytes = data;
        py::gil_scoped_release nogil;
        ref_.list = load_whitelist(name, {.max_line_length = max_line_length, .compact = true, .fd = memory_file(bytes)});
        build_reference_index(&ref_, tables);
        tables_ = tables;
    }
    const reference &get() const { return ref_; }
    size_t size() const { return ref_.list.size(); }
    uint32_t tables() const { return tables_; }

private:
    reference ref_;
    uint32_t tables_ = 0;
};

std::vector<uint64_t> counts_from(const py::bytes &b, size_t n) {
    std::string s = b;
    if (s.size() != n * sizeof(uint64_t))
        throw usage_error("exact counts of " + std::to_string(s.size() / sizeof(uint64_t)) +
                          " entries for a whitelist of " + std::to_string(n));
    std::vector<uint64_t> v(n);
    if (n) std::memcpy(v.data(), s.data(), s.size());
    return v;
}

py::bytes counts_to(const std::vector<uint64_t> &v) {
    return py::bytes(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(uint64_t));
}

// A shard as Python gives it: (start, end, skip, take), bytes [start, end)
// of a plain file and the records from skip on, at most take (None: no
// bound).
using shard = std::tuple<uint64_t, std::optional<uint64_t>, uint64_t, std::optional<uint64_t>>;

std::vector<input_range> range_of(const shard &s) {
    input_range r;
    r.start = std::get<0>(s);
    r.end = std::get<1>(s).value_or(UINT64_MAX);
    r.skip = std::get<2>(s);
    r.take = std::get<3>(s).value_or(UINT64_MAX);
    return {r};
}

py::dict counts_dict(const assign_counts &c) {
    py::dict status;
    for (size_t i = 0; i < status_slots; ++i) status[status_names[i]] = c.status[i];
    py::dict d;
    d["reads"] = c.reads;
    d["status"] = status;
    d["exact"] = c.exact;
    d["corrected"] = c.corrected;
    d["ties_broken"] = c.ties_broken;
    d["lower_case_reads"] = c.lower_case_reads;
    d["by_best"] = c.by_best;
    d["candidates"] = c.work.candidates;
    d["verifications"] = c.work.verifications;
    return d;
}

// A shard's options carry the barcode length: the client resolved it once
// from the whitelist for every shard.
void check_shard(const assign_options &opt) {
    if (!opt.has_barcode_length) throw usage_error("the barcode length must be given for a shard");
}

}  // namespace

PYBIND11_MODULE(_pipeline_ext, m) {
    m.doc() = "The velmora read pipeline (native): jobs and the shards of Dask runs.";
    static py::exception<data_error> data_exc(m, "DataError", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const usage_error &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const data_error &e) {
            data_exc(e.what());
        }
    });

    m.def(
        "run",
        [](const py::dict &d) {
            const assign_options opt = options_from(d);
            std::vector<std::string> warnings;
            std::string summary;
            {
                py::gil_scoped_release nogil;
                const assign_report report =
                    run_assign(opt, [&warnings](const std::string &w) { warnings.push_back(w); });
                const std::string w = unassigned_warning(report);
                if (!w.empty()) warnings.push_back(w);
                summary = summary_json(report);
            }
            return py::make_tuple(summary, warnings);
        },
        "Runs `velmora assign` with the options of the dict; returns (summary JSON, warnings).");

    m.def(
        "load_whitelist",
        [](const std::string &path, bool fold_case, uint64_t max_line_length) {
            whitelist wl;
            {
                py::gil_scoped_release nogil;
                wl = load_whitelist(path, {.max_line_length = max_line_length, .fold_case = fold_case});
            }
            py::list out;
            for (size_t i = 0; i < wl.size(); ++i) {
                const entry_text e = wl.entry(i);
                out.append(py::bytes(e.data(), e.size()));
            }
            return out;
        },
        py::arg("path"), py::arg("fold_case") = true, py::arg("max_line_length") = default_max_line_length,
        "The distinct entries of a whitelist file as the tool reads it.");

    m.def(
        "barcode_length",
        [](const py::bytes &data, const std::string &name, uint64_t max_line_length, std::optional<uint64_t> given) {
            const std::string bytes = data;
            py::gil_scoped_release nogil;
            const whitelist wl =
                load_whitelist(name, {.max_line_length = max_line_length, .compact = true, .fd = memory_file(bytes)});
            assign_options opt;
            opt.has_barcode_length = given.has_value();
            opt.barcode_length = given.value_or(0);
            fill_barcode_length(&opt, wl);
            return opt.barcode_length;
        },
        "Checks a whitelist's bytes as the tool reads them; returns the barcode length given, or "
        "else the length its entries share.");

    m.def("search_tables", [](const py::dict &d, uint64_t reads_bytes) {
        return search_tables(options_from(d), reads_bytes);
    });

    m.def(
        "record_starts",
        [](const std::string &path, uint64_t parts) {
            py::gil_scoped_release nogil;
            return record_starts(path, parts);
        },
        "Offsets cutting a plain FASTQ file into about `parts` pieces at record starts.");

    py::class_<py_reference>(m, "Reference")
        .def(py::init<const py::bytes &, const std::string &, uint32_t, uint64_t>(), py::arg("data"),
             py::arg("name"), py::arg("tables"), py::arg("max_line_length") = default_max_line_length)
        .def("__len__", &py_reference::size)
        .def_property_readonly("tables", &py_reference::tables);

    m.def(
        "count",
        [](const py_reference &ref, const py::dict &d, const std::string &path, const shard &part) {
            const assign_options opt = options_from(d);
            check_shard(opt);
            std::vector<uint64_t> counts;
            uint64_t records = 0;
            {
                py::gil_scoped_release nogil;
                const std::vector<uint64_t> none;
                const decider decide(ref.get().index.get(), ref.size(), opt, none);
                fastq_inputs in({path}, {}, opt.max_line_length, false, range_of(part));
                counts = count_exact(opt, in, decide, ref.size());
                records = in.records();
            }
            return py::make_tuple(counts_to(counts), records);
        },
        "The first pass over one shard: (exact, unique matches per entry as bytes of uint64, "
        "records read).");

    m.def(
        "assign",
        [](const py_reference &ref, const py::dict &d, const std::string &path, const shard &part,
           std::optional<py::bytes> counts_bytes, const std::string &out_path, bool header) {
            assign_options opt = options_from(d);
            check_shard(opt);
            std::vector<uint64_t> counts;
            if (opt.rescue) {
                if (!counts_bytes) throw usage_error("the rescue needs the exact counts of the first pass");
                counts = counts_from(*counts_bytes, ref.size());
            }
            assign_report report;
            {
                py::gil_scoped_release nogil;
                const decider decide(ref.get().index.get(), ref.size(), opt, counts, &ref.get().list);
                fastq_inputs in({path}, {}, opt.max_line_length, false, range_of(part));
                output_target target("out", "output", out_path);
                output_group outputs;
                output_file *out = nullptr;
                if (target.requested()) {
                    plan_outputs({{"reads", path}}, {&target});
                    auto f = std::make_unique<output_file>(target);
                    out = f.get();
                    outputs.add(std::move(f));
                    if (header) out->write(table_header);
                }
                assign_reads(opt, in, decide, ref.get().list, out, &report);
                outputs.commit();
            }
            return counts_dict(report.counts);
        },
        "The second pass over one shard, its table written to out (temporary, then renamed; "
        "'' writes nothing); returns its counts.");

    m.def(
        "concat",
        [](const std::string &out_path, const std::vector<std::string> &parts) {
            py::gil_scoped_release nogil;
            output_target target("out", "output", out_path);
            std::vector<input_path> inputs;
            for (const std::string &p : parts) inputs.push_back({"part", p});
            plan_outputs(inputs, {&target});
            output_group outputs;
            auto f = std::make_unique<output_file>(target);
            output_file &out = *f;
            outputs.add(std::move(f));
            out.write(table_header);
            std::vector<char> buf(size_t{1} << 20);
            for (const std::string &p : parts) {
                const int fd = open_input(p, "table part");
                for (;;) {
                    const ssize_t n = read(fd, buf.data(), buf.size());
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0) {
                        const int err = errno;
                        close(fd);
                        throw data_error("cannot read table part '" + p + "': " + std::strerror(err));
                    }
                    if (n == 0) break;
                    out.write(std::string_view(buf.data(), static_cast<size_t>(n)));
                }
                close(fd);
            }
            outputs.commit();
        },
        "Writes the header and the parts, in order, to out (temporary, then renamed).");

    m.def(
        "sum_counts",
        [](const std::vector<py::bytes> &parts) {
            std::vector<std::string> raw(parts.begin(), parts.end());
            std::vector<uint64_t> total;
            {
                py::gil_scoped_release nogil;
                for (const std::string &s : raw) {
                    if (total.empty()) total.assign(s.size() / sizeof(uint64_t), 0);
                    if (s.size() != total.size() * sizeof(uint64_t))
                        throw usage_error("exact counts of different whitelists cannot be summed");
                    for (size_t i = 0; i < total.size(); ++i) {
                        uint64_t v;
                        std::memcpy(&v, s.data() + i * sizeof v, sizeof v);
                        total[i] += v;
                    }
                }
            }
            return counts_to(total);
        },
        "Sums exact counts (bytes of uint64) entry by entry.");

    m.attr("TABLE_HEADER") = py::bytes(table_header);
}
