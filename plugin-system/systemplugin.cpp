#include "systemplugin.h"

#include "chunklistener.h"
#include "systemcontrollerstrategy.h"

#include <QPointer>
#include <QtPlugin>

// The listener's peer opens no socket and reads no settings until the first
// card arrives, so loading the plug-in has no side effects.
SystemPlugin::SystemPlugin()
    : chunkListener(new ChunkListener)
{
}

// The strategies are left alone: the host received them and may still hold
// them while it tears down.
SystemPlugin::~SystemPlugin() = default;

void SystemPlugin::initialize()
{
    strategies.push_back(new SystemControllerStrategy);
}

std::vector<http::ControllerStrategy *> SystemPlugin::controllerStrategies()
{
    return strategies;
}

void SystemPlugin::registerChunkListeners(ChunkUpdateRegistry *registry)
{
    if (!registry)
        return;
    registry->addListener(chunkListener.get());
}

void SystemPlugin::acceptHostObject(HostObject *object)
{
    Q_UNUSED(object)
}

// The block the plug-in loader reads without running any code: the signature,
// the block's format version, the framework's major and minor version and the
// build's requirements (debug or release), then a CBOR map with the
// identifier, the class name and an empty "MetaData" object. It is what moc
// would write for Q_PLUGIN_METADATA(IID "ch.veltor.kavo-service.system") if it
// kept an empty metadata object.
QT_PLUGIN_METADATA_SECTION
static constexpr unsigned char qt_pluginMetaData[] = {
    'Q', 'T', 'M', 'E', 'T', 'A', 'D', 'A', 'T', 'A', ' ', '!',
    0, QT_VERSION_MAJOR, QT_VERSION_MINOR, qPluginArchRequirements(),
    0xbf, // map of indefinite length
    // "IID": text of 29 bytes
    0x02, 0x78, 0x1d,
    'c', 'h', '.', 'v', 'e', 'l', 't', 'o', 'r', '.', 'k', 'a', 'v', 'o', '-',
    's', 'e', 'r', 'v', 'i', 'c', 'e', '.', 's', 'y', 's', 't', 'e', 'm',
    // "className": text of 12 bytes
    0x03, 0x6c, 'S', 'y', 's', 't', 'e', 'm', 'P', 'l', 'u', 'g', 'i', 'n',
    // "MetaData": empty map
    0x04, 0xa0,
    0xff,
};

extern "C" Q_DECL_EXPORT const char *qt_plugin_query_metadata()
{
    return reinterpret_cast<const char *>(qt_pluginMetaData);
}

// One root object per process. The guarded pointer forgets an object that
// someone deleted, so the next call makes a new one instead of returning a
// dangling pointer. The loader calls this on one thread only.
extern "C" Q_DECL_EXPORT QObject *qt_plugin_instance()
{
    static QPointer<QObject> instance;
    if (!instance)
        instance = new SystemPlugin;
    return instance;
}
