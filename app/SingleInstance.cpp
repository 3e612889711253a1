#include "app/SingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace Kestrune {

SingleInstance::SingleInstance(QDBusConnection bus) : bus_(std::move(bus)) {}

SingleInstance::~SingleInstance() {
    if (registered_) {
        bus_.unregisterObject(objectPath);
        bus_.unregisterService(serviceName);
    }
}

SingleInstance::Claim SingleInstance::claim(const QStringList& arguments) {
    if (!bus_.isConnected())
        return Claim::noBus;
    // The object is there before the name, so a start that sees the name can always
    // reach it.
    if (!registered_)
        registered_ = bus_.registerVirtualObject(objectPath, this);
    // Two tries: the owner may quit between our failed claim and our call.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (bus_.registerService(serviceName))
            return Claim::first;
        auto call = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName,
                                                   "HandleArguments");
        call << arguments;
        if (bus_.call(call, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage)
            return Claim::handedOver;
    }
    // Neither owner nor reachable: run rather than leave the user with nothing.
    return Claim::first;
}

QString SingleInstance::introspect(const QString& path) const {
    if (path != objectPath)
        return {};
    return QString("<interface name=\"%1\"><method name=\"HandleArguments\">"
                   "<arg name=\"arguments\" type=\"as\" direction=\"in\"/></method></interface>")
        .arg(interfaceName);
}

bool SingleInstance::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.interface() != interfaceName || message.member() != "HandleArguments" ||
        message.signature() != "as")
        return false;
    connection.send(message.createReply());
    if (onArguments)
        onArguments(message.arguments().value(0).toStringList());
    return true;
}

} // namespace Kestrune
