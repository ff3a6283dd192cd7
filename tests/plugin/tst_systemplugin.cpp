#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QPointer>
#include <QtTest>

#include "kavoserviceplugin.h"

namespace {

// Counts what a plug-in registers, as the host's registry would.
class Registry : public ChunkUpdateRegistry
{
public:
    void addListener(ChunkUpdateListener *listener) override { listeners.append(listener); }
    QList<ChunkUpdateListener *> listeners;
};

using InstanceFunction = QObject *(*)();

} // namespace

class tst_SystemPlugin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void metaData();
    void instanceIsGuardedSingleton();
    void metacast_data();
    void metacast();
    void interfaceCast();
    void strategies();
    void registersOneListener();
    void exportsOnlyEntryPoints();

private:
    QObject *instance();

    QLibrary library;
    InstanceFunction instanceFunction = nullptr;
};

void tst_SystemPlugin::initTestCase()
{
    library.setFileName(QStringLiteral(M3_PLUGIN_SYSTEM));
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    instanceFunction = reinterpret_cast<InstanceFunction>(library.resolve("qt_plugin_instance"));
    QVERIFY(instanceFunction);
    QVERIFY(library.resolve("qt_plugin_query_metadata"));
}

QObject *tst_SystemPlugin::instance()
{
    return instanceFunction();
}

void tst_SystemPlugin::metaData()
{
    QPluginLoader loader(QStringLiteral(M3_PLUGIN_SYSTEM));
    const QJsonObject data = loader.metaData();
    QVERIFY2(!data.isEmpty(), qPrintable(loader.errorString()));
    QCOMPARE(data.value("IID").toString(), QStringLiteral("ch.veltor.kavo-service.system"));
    QCOMPARE(data.value("className").toString(), QStringLiteral("SystemPlugin"));
    QVERIFY(data.value("MetaData").isObject());
    QVERIFY(data.value("MetaData").toObject().isEmpty());
#ifdef QT_NO_DEBUG
    QCOMPARE(data.value("debug").toBool(true), false);
#else
    QCOMPARE(data.value("debug").toBool(false), true);
#endif
    // The framework refuses a plug-in built for a newer release than its own.
    QCOMPARE(data.value("version").toInt() >> 8, QT_VERSION >> 8);
}

void tst_SystemPlugin::instanceIsGuardedSingleton()
{
    QPointer<QObject> first = instance();
    QVERIFY(first);
    QCOMPARE(instance(), first.data());
    QVERIFY(!first->parent());
    first->setObjectName(QStringLiteral("first"));

    delete first.data();
    QVERIFY(!first);

    // A fresh object, not a dangling pointer to the deleted one (whose address
    // the allocator may hand out again).
    QObject *second = instance();
    QVERIFY(second);
    QVERIFY(second->objectName().isEmpty());
    QCOMPARE(instance(), second);

    // The loader's view is the same object.
    QPluginLoader loader(QStringLiteral(M3_PLUGIN_SYSTEM));
    QCOMPARE(loader.instance(), second);
}

void tst_SystemPlugin::metacast_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("answer");

    QTest::addRow("null name") << QByteArray() << "null";
    QTest::addRow("class name") << QByteArray("SystemPlugin") << "object";
    QTest::addRow("interface class name") << QByteArray("KavoServicePlugin") << "interface";
    QTest::addRow("interface identifier") << QByteArray("ch.veltor.kavo-service.plugin") << "interface";
    QTest::addRow("QObject") << QByteArray("QObject") << "QObject";
    QTest::addRow("metadata identifier is not the interface") << QByteArray("ch.veltor.kavo-service.system")
                                                              << "QObject";
    QTest::addRow("unknown class") << QByteArray("QTimer") << "QObject";
}

void tst_SystemPlugin::metacast()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, answer);

    QObject *root = instance();
    QVERIFY(root);
    auto *plugin = qobject_cast<KavoServicePlugin *>(root);
    QVERIFY(plugin);
    const char *cname = name.isNull() ? nullptr : name.constData();

    void *expected = nullptr;
    if (answer == "object")
        expected = root;
    else if (answer == "interface")
        expected = plugin;
    else if (answer == "QObject")
        expected = root->QObject::qt_metacast(cname);

    QCOMPARE(root->qt_metacast(cname), expected);
    if (answer == "null")
        QVERIFY(!root->qt_metacast(cname));
    if (answer == "interface") // the sub-object, not the object's own address
        QCOMPARE(static_cast<void *>(plugin), root->qt_metacast("KavoServicePlugin"));
}

void tst_SystemPlugin::interfaceCast()
{
    QObject *root = instance();
    QCOMPARE(root->metaObject()->className(), "SystemPlugin");
    QCOMPARE(root->metaObject()->superClass(), &QObject::staticMetaObject);
    // No signals, slots or properties of its own.
    QCOMPARE(root->metaObject()->methodCount(), QObject::staticMetaObject.methodCount());
    QCOMPARE(root->metaObject()->propertyCount(), QObject::staticMetaObject.propertyCount());
    QCOMPARE(qobject_interface_iid<KavoServicePlugin *>(), "ch.veltor.kavo-service.plugin");
    QVERIFY(qobject_cast<KavoServicePlugin *>(root));
}

void tst_SystemPlugin::strategies()
{
    // A fresh root object, so that earlier tests cannot have initialised it.
    delete instance();
    auto *plugin = qobject_cast<KavoServicePlugin *>(instance());
    QVERIFY(plugin);

    QVERIFY(plugin->controllerStrategies().empty());

    plugin->initialize();
    const std::vector<http::ControllerStrategy *> once = plugin->controllerStrategies();
    QCOMPARE(once.size(), size_t(1));
    QVERIFY(once[0]);
    QCOMPARE(plugin->controllerStrategies(), once); // a copy, asked again

    plugin->initialize();
    const std::vector<http::ControllerStrategy *> twice = plugin->controllerStrategies();
    QCOMPARE(twice.size(), size_t(2));
    QCOMPARE(twice[0], once[0]);
    QVERIFY(twice[1] && twice[1] != twice[0]);

    plugin->acceptHostObject(nullptr);

    // The strategies belong to whoever took them: the root object goes, they
    // stay usable. Here the test plays the host and cleans up.
    delete instance();
    for (http::ControllerStrategy *strategy : twice)
        delete strategy;
}

void tst_SystemPlugin::registersOneListener()
{
    auto *plugin = qobject_cast<KavoServicePlugin *>(instance());
    QVERIFY(plugin);

    Registry registry;
    plugin->registerChunkListeners(&registry);
    QCOMPARE(registry.listeners.size(), 1);
    QVERIFY(registry.listeners.constFirst());

    // Registering again offers the same listener, which the plug-in still owns.
    plugin->registerChunkListeners(&registry);
    QCOMPARE(registry.listeners.size(), 2);
    QCOMPARE(registry.listeners.at(1), registry.listeners.at(0));

    // A host without a registry does not crash the plug-in.
    plugin->registerChunkListeners(nullptr);
}

void tst_SystemPlugin::exportsOnlyEntryPoints()
{
#ifndef Q_OS_LINUX
    QSKIP("reads the ELF symbol table with nm");
#endif
    QProcess nm;
    nm.start(QStringLiteral("nm"), {QStringLiteral("-D"), QStringLiteral("--defined-only"),
                                    QStringLiteral("--format=just-symbols"), library.fileName()});
    if (!nm.waitForFinished(30000) || nm.exitCode() != 0)
        QSKIP("nm is not available");
    QStringList symbols = QString::fromLatin1(nm.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    symbols.sort();
    QCOMPARE(symbols, QStringList({QStringLiteral("qt_plugin_instance"), QStringLiteral("qt_plugin_query_metadata")}));
}

QTEST_MAIN(tst_SystemPlugin)
#include "tst_systemplugin.moc"
