#include "systemcontroller.h"

#include "system_info.pb.h"
#include "systemprivileges.h"

#include <QLoggingCategory>
#include <QSysInfo>

#include <zn-http/response.h>

Q_LOGGING_CATEGORY(lcSystemController, "ch.veltor.kavo-service.system.systemcontroller")

void SystemController::release()
{
    delete this;
}

void SystemController::setRequest(QSharedPointer<http::server::Request>)
{
}

void SystemController::setResponse(QSharedPointer<http::server::Response> response)
{
    this->response = response;
}

void SystemController::process()
{
    if (!response) {
        qCWarning(lcSystemController) << "Processing without any response.";
        return;
    }

    SystemInfo info;
    info.set_system_name(QSysInfo::productType().toStdString());
    info.set_system_version(QSysInfo::productVersion().toStdString());
    info.set_system_arch(QSysInfo::currentCpuArchitecture().toStdString());
    info.set_is_admin(isAdministrator());
    info.set_is_user_non_elevated_admin(isNonElevatedAdministrator());

    QByteArray body;
    processor.setSourceModel(&info);
    processor.format(body);
    processor.setSourceModel(nullptr); // the message ends with this call

    response->setHeader(QStringLiteral("Content-Type"), processor.contentType());
    response->writeHead(200);
    response->end(body);
}
