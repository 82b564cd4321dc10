// The metrics endpoint as Prometheus reads it: a real Prometheus scrapes a real
// server, and promtool accepts the page.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include "clusterservices.h"
#include "lobbyclient.h"
#include "support/serverprocess.h"

namespace {

constexpr int kPrometheusTimeoutMs = 90000;

QByteArray get(QNetworkAccessManager &net, const QUrl &url, int *status = nullptr)
{
    QNetworkReply *reply = net.get(QNetworkRequest(url));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(10000);
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    return body;
}

} // namespace

class TestPrometheus : public QObject {
    Q_OBJECT
private slots:
    void scrapedByPrometheus();
};

void TestPrometheus::scrapedByPrometheus()
{
    const QString prometheus = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    QVERIFY2(!prometheus.isEmpty() && !promtool.isEmpty(), "prometheus is not installed (scripts/setup)");

    const QString metricsPort = QString::number(freeLoopbackPort());
    ServerProcess server;
    QVERIFY2(server.start(QStringLiteral(QORCHAT_SERVER_EXE),
                          {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:") + metricsPort}),
             qPrintable(server.error));
    LobbyClient player(server.port.toUShort());
    QVERIFY(player.signIn(QStringLiteral("Go"), true, QStringLiteral("taro")));
    player.send(QStringLiteral("LMESSAGE hello"));
    QVERIFY(player.sync());

    QNetworkAccessManager net;
    const QString base = QStringLiteral("http://127.0.0.1:") + metricsPort;
    int status = 0;
    const QByteArray page = get(net, QUrl(base + QStringLiteral("/metrics")), &status);
    QCOMPARE(status, 200);
    QVERIFY(page.contains("qorchat_players{game=\"Go\"} 1\n"));
    QVERIFY(page.contains("qorchat_chat_lines_in_total 1\n"));
    get(net, QUrl(base + QStringLiteral("/healthz")), &status);
    QCOMPARE(status, 200);
    QCOMPARE(get(net, QUrl(base + QStringLiteral("/readyz")), &status), QByteArray("ready\n"));
    QCOMPARE(status, 200);

    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    check.write(page);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput() + check.readAllStandardError());

    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("prometheus.yml"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: qorchat\n"
                              "    static_configs:\n      - targets: ['127.0.0.1:%1']\n")
                   .arg(metricsPort)
                   .toUtf8());
    file.close();
    const QString webPort = QString::number(freeLoopbackPort());
    QProcess prom;
    prom.setProcessChannelMode(QProcess::MergedChannels);
    prom.start(prometheus, {QStringLiteral("--config.file=") + config,
                            QStringLiteral("--storage.tsdb.path=") + dir.filePath(QStringLiteral("data")),
                            QStringLiteral("--web.listen-address=127.0.0.1:") + webPort});
    QVERIFY(prom.waitForStarted());
    auto stop = qScopeGuard([&] {
        prom.terminate();
        if (!prom.waitForFinished(10000))
            prom.kill();
    });

    // What Prometheus stored from its scrapes of the server.
    QUrl query(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(webPort));
    query.setQuery(QUrlQuery{{QStringLiteral("query"), QStringLiteral("qorchat_signins_total{result=\"ok\"}")}});
    QString value;
    QDeadlineTimer deadline(kPrometheusTimeoutMs);
    while (value.isEmpty() && !deadline.hasExpired() && prom.state() == QProcess::Running) {
        const QJsonArray result =
            QJsonDocument::fromJson(get(net, query)).object().value(u"data").toObject().value(u"result").toArray();
        if (!result.isEmpty())
            value = result.first().toObject().value(u"value").toArray().at(1).toString();
        else
            QTest::qWait(500);
    }
    QVERIFY2(value == QLatin1String("1"), prom.readAll().right(3000).constData());
}

QTEST_GUILESS_MAIN(TestPrometheus)
#include "tst_prometheus.moc"
