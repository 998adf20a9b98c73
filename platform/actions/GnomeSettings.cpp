#include "platform/actions/GnomeSettings.hpp"

#include <gio/gio.h>

#include <map>

namespace platform::actions {
namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct SchemaUnref {
    void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using SettingsPtr = std::unique_ptr<GSettings, ObjectUnref>;
using SchemaPtr = std::unique_ptr<GSettingsSchema, SchemaUnref>;
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

}  // namespace

struct GnomeSettings::Impl {
    struct Entry {
        SchemaPtr schema;      // null when the schema is not installed
        SettingsPtr settings;  // null with it
    };
    std::map<std::string, Entry, std::less<>> entries;

    Entry& entry(std::string_view id) {
        auto it = entries.find(id);
        if (it != entries.end())
            return it->second;
        Entry e;
        const std::string name(id);
        if (GSettingsSchemaSource* source = g_settings_schema_source_get_default()) {
            e.schema.reset(g_settings_schema_source_lookup(source, name.c_str(), TRUE));
            if (e.schema)
                e.settings.reset(g_settings_new_full(e.schema.get(), nullptr, nullptr));
        }
        return entries.emplace(name, std::move(e)).first->second;
    }
};

GnomeSettings::GnomeSettings() : impl_(std::make_unique<Impl>()) {}
GnomeSettings::~GnomeSettings() = default;

bool GnomeSettings::hasSchema(std::string_view schema) {
    return impl_->entry(schema).settings != nullptr;
}

std::vector<std::string> GnomeSettings::accelerators(std::string_view schema,
                                                     std::string_view key) {
    // The backend hands change notices to GLib's main context, which this
    // program does not run; let them through so they do not pile up.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    auto& e = impl_->entry(schema);
    const std::string name(key);
    if (!e.settings || !g_settings_schema_has_key(e.schema.get(), name.c_str()))
        return {};
    VariantPtr value(g_settings_get_value(e.settings.get(), name.c_str()));
    std::vector<std::string> out;
    if (!value)
        return out;
    if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) {
        gsize length = 0;
        const gchar* text = g_variant_get_string(value.get(), &length);
        if (length > 0)
            out.emplace_back(text, length);
    } else if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING_ARRAY)) {
        const gsize n = g_variant_n_children(value.get());
        for (gsize i = 0; i < n; ++i) {
            VariantPtr child(g_variant_get_child_value(value.get(), i));
            gsize length = 0;
            const gchar* text = g_variant_get_string(child.get(), &length);
            if (length > 0)
                out.emplace_back(text, length);
        }
    }
    return out;
}

}  // namespace platform::actions
