// The text and JSON writers of the findings record (report.h).

#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace {

Gathered *gathered;

} // namespace

Gathered *gather(Gathered *into)
{
    Gathered *before = gathered;
    gathered = into;
    return before;
}

void report(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string line(length > 0 ? (size_t)length : 0, '\0');
    va_start(arguments, format);
    vsnprintf(line.data(), line.size() + 1, format, arguments);
    va_end(arguments);
    if (gathered != nullptr)
        gathered->lines.push_back(line);
    else
        printf("%s\n", line.c_str());
}

// Standard output is flushed first, so that the report lines keep their
// order when both streams go to one file.
bool refuse(const std::string &message)
{
    if (gathered != nullptr) {
        gathered->refusals.push_back(message);
        return false;
    }
    fflush(stdout);
    fprintf(stderr, "refused: %s\n", message.c_str());
    return false;
}

std::string shown(const std::string &value)
{
    return quoted(value, QUOTE_MESSAGE);
}

std::vector<std::string> all_refusals(const LiveFindings &findings)
{
    std::vector<std::string> refusals;
    for (const AddressFindings &address : findings.addresses)
        refusals.insert(refusals.end(), address.refusals.begin(), address.refusals.end());
    refusals.insert(refusals.end(), findings.refusals.begin(), findings.refusals.end());
    return refusals;
}

namespace {

// The line of a certificate path, when one was built: its certificates,
// `when` they were judged, and where it ends.
void write_path(const char *indent, const char *role, const char *what,
                const CertificatePath &path, const std::string &when)
{
    if (path.names.empty())
        return;
    std::string names;
    for (const std::string &name : path.names)
        names += (names.empty() ? "" : ", ") + name;
    report("%s%s%s: %s%s; %s", indent, role, what, names.c_str(), when.c_str(),
           path.end.empty() ? "refused" : path.end.c_str());
}

nlohmann::json path_json(const CertificatePath &path)
{
    return {{"certificates", path.names}, {"end", path.end}};
}

} // namespace

void write_signer(const SignerFindings &signer, const char *indent)
{
    const char *role = signer.role.c_str();
    report("%s%ssigner: %s (expected %s)", indent, role, signer.signer.c_str(),
           signer.expected.c_str());
    write_path(indent, role, "signer path", signer.path, " at the signing time " +
                                                           signer.signing_time);
    report("%s%stimestamp: %s", indent, role,
           signer.timestamp.empty() ? "none" : signer.timestamp.c_str());
    write_path(indent, role, "timestamp path", signer.timestamp_path, "");
    if (!signer.timestamp_fault.empty())
        report("%s%stimestamp refused: %s", indent, role, signer.timestamp_fault.c_str());
    if (signer.nested > 0)
        report("%s%snested signatures: %d, not judged (Windows judges the primary one)", indent,
               role, signer.nested);
}

namespace {

// One transfer's lines, when it brought its file: what arrived, where
// from, the reported headers.
void write_fetch(const char *what, const FetchFindings &fetch)
{
    if (fetch.url.empty() || !fetch.fault.empty())
        return;
    report("  %s: %lld bytes, sha256 %s", what, fetch.bytes, fetch.sha256.c_str());
    report("    from %s at %s", fetch.final_url.c_str(), fetch.ip.c_str());
    std::string shown;
    for (const auto &header : fetch.headers)
        shown += (shown.empty() ? "" : "; ") + header.first + ": " + header.second;
    report("    headers: %s", shown.empty() ? "none of note" : shown.c_str());
}

void write_refusals(const std::vector<std::string> &refusals)
{
    for (const std::string &refusal : refusals)
        refuse(refusal);
}

nlohmann::json fetch_json(const FetchFindings &fetch)
{
    // A header that came more than once keeps every value, in order.
    nlohmann::json headers = nlohmann::json::object();
    for (const auto &header : fetch.headers) {
        nlohmann::json &value = headers[header.first];
        if (value.is_string())
            value = nlohmann::json::array({value});
        if (value.is_array())
            value.push_back(header.second);
        else
            value = header.second;
    }
    return {{"url", fetch.url},       {"final_url", fetch.final_url}, {"ip", fetch.ip},
            {"status", fetch.status}, {"bytes", fetch.bytes},         {"sha256", fetch.sha256},
            {"headers", headers},     {"fault", fetch.fault}};
}

nlohmann::json signer_json(const SignerFindings &signer)
{
    return {{"signer", signer.signer},
            {"expected", signer.expected},
            {"timestamp", signer.timestamp},
            {"timestamp_fault", signer.timestamp_fault},
            {"signing_time", signer.signing_time},
            {"path", path_json(signer.path)},
            {"timestamp_path", path_json(signer.timestamp_path)},
            {"nested", signer.nested}};
}

// The addresses' blocks, the bootstrapper's lines and the refusals.
void write_findings(const LiveFindings &findings)
{
    for (const AddressFindings &address : findings.addresses) {
        report("address %s", address.address.c_str());
        write_fetch("manifest", address.manifest);
        if (!address.version.empty())
            report("  release: version %s, size %lld, %s", address.version.c_str(), address.size,
                   address.setup_url.c_str());
        for (const std::string &warning : address.warnings)
            report("  warning: %s", warning.c_str());
        write_fetch("setup program", address.setup);
        if (address.signer_judged)
            write_signer(address.signer, "  ");
        write_refusals(address.refusals);
    }
    if (findings.bootstrapper_judged)
        write_signer(findings.bootstrapper, "");
    write_refusals(findings.refusals);
}

nlohmann::json findings_json(const LiveFindings &findings)
{
    nlohmann::json addresses = nlohmann::json::array();
    for (const AddressFindings &address : findings.addresses) {
        nlohmann::json entry = {{"address", address.address},
                                {"manifest", fetch_json(address.manifest)},
                                {"warnings", address.warnings},
                                {"refusals", address.refusals}};
        if (!address.version.empty())
            entry["release"] = {{"version", address.version},
                                {"size", address.size},
                                {"url", address.setup_url}};
        if (!address.setup.url.empty())
            entry["setup"] = fetch_json(address.setup);
        if (address.signer_judged)
            entry["signer"] = signer_json(address.signer);
        addresses.push_back(entry);
    }
    nlohmann::json report = {{"passed", findings.passed},
                             {"rounds", findings.rounds},
                             {"addresses", addresses},
                             {"refusals", all_refusals(findings)}};
    if (findings.bootstrapper_judged)
        report["bootstrapper"] = signer_json(findings.bootstrapper);
    return report;
}

// Texts from outside are escaped ASCII; the tool's own (a path the
// publisher named) are replaced where they are not UTF-8, never thrown
// over.
void print_json(const nlohmann::json &report)
{
    printf("%s\n", report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

} // namespace

void write_text(const LiveFindings &findings)
{
    write_findings(findings);
    if (findings.passed)
        report("ok: the live release passes on %zu address%s %s", findings.addresses.size(),
               findings.addresses.size() == 1 ? "" : "es", VANTAGE_POINT);
}

void write_json(const LiveFindings &findings)
{
    print_json(findings_json(findings));
}

void write_step(const StepFindings &step, int number)
{
    report("step %d, %s: %s", number, step.name.c_str(), step.outcome.c_str());
    for (const std::string &command : step.commands)
        report("  %s", command.c_str());
    for (const std::string &line : step.lines)
        report("  %s", line.c_str());
    if (step.looked)
        write_findings(step.site);
    write_refusals(step.refusals);
}

void write_verdict(const PublishFindings &findings)
{
    report("rollback point: %s", findings.rollback.c_str());
    if (findings.exit_code == 0) {
        report("ok: %s", findings.verdict.c_str());
        return;
    }
    fflush(stdout);
    fprintf(stderr, "%s: %s\n", findings.exit_code == 3 ? "NEEDS A PERSON" : "not published",
            findings.verdict.c_str());
}

void write_publish_json(const PublishFindings &findings)
{
    nlohmann::json steps = nlohmann::json::array();
    for (const StepFindings &step : findings.steps) {
        nlohmann::json entry = {{"name", step.name},
                                {"outcome", step.outcome},
                                {"lines", step.lines},
                                {"commands", step.commands},
                                {"refusals", step.refusals}};
        if (step.looked)
            entry["site"] = findings_json(step.site);
        steps.push_back(entry);
    }
    print_json({{"passed", findings.exit_code == 0},
                {"exit_code", findings.exit_code},
                {"verdict", findings.verdict},
                {"rollback", findings.rollback},
                {"steps", steps}});
}
