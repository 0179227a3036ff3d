#include "cloud/JSONUtility.h"

#include "cloud/KuaipanException.h"

#include <nlohmann/json.hpp>

namespace ot {

namespace {

using json = nlohmann::json;

// Reads the document as a stream of events and writes, for each member of the
// top-level container, either its flattened value or (for a nested array or
// object) its compact JSON text rebuilt from the events, so that numbers keep
// the text they were written with.
class Flattener : public nlohmann::json_sax<json> {
public:
    explicit Flattener(bool topIsArray) : FTopIsArray(topIsArray) {}

    // Top-level object: one line per member. Top-level array: the JSON text
    // of each element.
    std::vector<std::string> Items;
    bool WrongShape = false;

    bool null() override { return Scalar("", "null"); }
    bool boolean(bool v) override { return Scalar("", v ? "true" : "false"); }
    bool number_integer(number_integer_t v) override {
        return Scalar(std::to_string(v), std::to_string(v));
    }
    bool number_unsigned(number_unsigned_t v) override {
        return Scalar(std::to_string(v), std::to_string(v));
    }
    bool number_float(number_float_t, const string_t& s) override { return Scalar(s, s); }
    bool string(string_t& v) override { return Scalar(v, json(v).dump()); }
    bool binary(binary_t&) override { return Fail(); }

    bool start_object(std::size_t) override { return Open('{', false); }
    bool end_object() override { return Close('}'); }
    bool start_array(std::size_t) override { return Open('[', true); }
    bool end_array() override { return Close(']'); }

    bool key(string_t& k) override {
        if (FDepth == 1) {
            FName = k;
            return true;
        }
        Comma();
        FText += json(k).dump();
        FText += ':';
        FFirst.back() = true; // the value follows without a comma
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool Fail() {
        WrongShape = true;
        return false;
    }

    void Comma() {
        if (!FFirst.empty()) {
            if (!FFirst.back())
                FText += ',';
            FFirst.back() = false;
        }
    }

    // A scalar: flattened at depth 1, written as JSON text deeper down.
    bool Scalar(const std::string& flat, const std::string& jsonText) {
        if (FDepth == 0)
            return Fail();
        if (FDepth == 1) {
            if (FTopIsArray)
                return Fail(); // the elements must be objects
            Items.push_back(FName + "=" + flat);
            return true;
        }
        Comma();
        FText += jsonText;
        return true;
    }

    bool Open(char bracket, bool isArray) {
        if (FDepth == 0) {
            if (isArray != FTopIsArray)
                return Fail();
            ++FDepth;
            return true;
        }
        if (FDepth == 1) {
            if (FTopIsArray && isArray)
                return Fail(); // elements of a listing are objects
            FText.clear();
            FFirst.clear();
        } else {
            Comma();
        }
        FText += bracket;
        FFirst.push_back(true);
        ++FDepth;
        return true;
    }

    bool Close(char bracket) {
        --FDepth;
        if (FDepth == 0)
            return true;
        FText += bracket;
        FFirst.pop_back();
        if (FDepth == 1) {
            if (FTopIsArray)
                Items.push_back(FText);
            else
                Items.push_back(FName + "=" + (bracket == ']' ? FText : std::string()));
        }
        return true;
    }

    bool FTopIsArray;
    int FDepth = 0;
    std::string FName;
    std::string FText;
    std::vector<bool> FFirst;
};

std::vector<std::string> Flatten(std::string_view text, bool topIsArray) {
    Flattener f(topIsArray);
    bool ok = false;
    try {
        ok = json::sax_parse(text.begin(), text.end(), &f);
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok)
        throw TKuaipanIOException(
            f.WrongShape ? std::string(topIsArray ? "JSON array expected" : "JSON object expected")
                         : std::string("reply is not valid JSON"));
    return std::move(f.Items);
}

} // namespace

std::optional<TParamList> TJSONUtility::Parse(std::string_view AStr) {
    if (AStr.empty())
        return std::nullopt;
    return Flatten(AStr, false);
}

std::optional<std::vector<TParamList>> TJSONUtility::ParseJsonArray(std::string_view AStr) {
    if (AStr.empty())
        return std::nullopt;
    std::vector<TParamList> out;
    for (const auto& element : Flatten(AStr, true))
        out.push_back(Flatten(element, false));
    if (out.empty())
        return std::nullopt;
    return out;
}

} // namespace ot
