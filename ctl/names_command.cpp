#include "ctl/names_command.h"

#include <QJsonObject>

#include "names/locations.h"
#include "names/name_file.h"

namespace tarnwick::ctl {

namespace {

QString from(const std::string& text) {
    return QString::fromStdString(text);
}

names::NameFileLocation located() {
    return names::locate_name_file(names::executable_directory());
}

// A name is stored under the address as the panel's entry holds it, in decimal.
std::string address_text(int address) {
    return std::to_string(address);
}

int print_names(const Request& request) {
    StderrMessages messages;
    bool missing = false;
    const ChannelNames names = channel_names(request.address, messages, &missing);
    const QString path = from(located().path);
    if (missing) {
        print_error(QStringLiteral("%1 is not there yet: these are the names it will start with")
                        .arg(path));
    }
    return report_names(request, names,
                        {{QStringLiteral("command"), QStringLiteral("names")},
                         {QStringLiteral("address"), request.address},
                         {QStringLiteral("file"), path}});
}

}  // namespace

int report_names(const Request& request, const ChannelNames& names, QJsonObject json) {
    if (request.name_channel) {
        const QString& name = names[static_cast<std::size_t>(*request.name_channel - 1)];
        json.insert(QStringLiteral("channel"), *request.name_channel);
        json.insert(QStringLiteral("name"), name);
        if (!request.json) print_line(name);
    } else {
        QJsonArray list;
        for (int c = 1; c <= 16; ++c) {
            const QString& name = names[static_cast<std::size_t>(c - 1)];
            list.append(
                QJsonObject{{QStringLiteral("channel"), c}, {QStringLiteral("name"), name}});
            if (!request.json) print_line(QStringLiteral("%1  %2").arg(c, 2).arg(name));
        }
        json.insert(QStringLiteral("names"), list);
    }
    json.insert(QStringLiteral("ok"), true);
    if (request.json) print_json(json);
    return exit_done;
}

namespace {

int set_name(const Request& request) {
    const std::string address = address_text(request.address);
    const std::string channel = std::to_string(*request.name_channel);
    const std::string name = request.new_name->toStdString();
    names::NameFileLocation location = located();
    QJsonObject json{{QStringLiteral("command"), QStringLiteral("names")},
                     {QStringLiteral("address"), request.address},
                     {QStringLiteral("channel"), *request.name_channel},
                     {QStringLiteral("name"), *request.new_name},
                     {QStringLiteral("file"), from(location.path)}};
    const auto refused = [&](names::WriteError why, int status) {
        const QString text = from(names::refused_name_text(why, location.path, address, channel)) +
                             QStringLiteral("名称没有保存。");
        return print_failure(request.json, json, text, status);
    };

    // A name that cannot be stored is refused before the file is touched.
    names::ProfileEdit edit;
    const names::WriteError unstorable = names::to_profile_edit(
        names::address_section(address), names::channel_key(channel), name, edit);
    if (unstorable != names::WriteError::none) return refused(unstorable, exit_usage);

    // As the panel's start: a file that is not there is created with the
    // default names (a per-user one from its seed), an incomplete one
    // completed; both say so.
    StderrMessages messages;
    names::prepare_name_file(location);
    names::NameFile file(location, messages);
    (void)file.load_title();
    const names::WriteError why = file.set_channel_name(address, channel, name);
    if (why != names::WriteError::none) return refused(why, exit_name_file);
    if (request.json) {
        json.insert(QStringLiteral("ok"), true);
        print_json(json);
    }
    return exit_done;
}

}  // namespace

ChannelNames channel_names(int address, names::Messages& messages, bool* missing) {
    const auto stored = names::names_without_creating(located(), address, messages, missing);
    ChannelNames names;
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = from(stored[i]);
    return names;
}

int run_names(const Request& request) {
    return request.new_name ? set_name(request) : print_names(request);
}

}  // namespace tarnwick::ctl
