#pragma once

// What the scenarios of the running program share: the program, looks and grades as TINTARA and
// Resolve make them, and a cloud service with one signed-in user.
#include "cloud/CloudStore.h"
#include "platform/CredentialStore.h"
#include "platform/FileSystem.h"
#include "support/CloudTestService.h"
#include "support/RunningProgram.h"
#include "support/Transcript.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTest>

#include <QCoroTask>

inline const QString program = QStringLiteral(TONEWHARF_BUILD_DIR "/tonewharf");

// A small .cube; another variant has other bytes.
inline QByteArray cube(const QString& title, int variant = 0) {
    QByteArray text = "TITLE \"" + title.toUtf8() + "\"\nLUT_3D_SIZE 2\n";
    for (int i = 0; i < 8; ++i) {
        text += QByteArray::number(i % 2) + " 0.5 " + QByteArray::number((i + variant) % 3) + "\n";
    }
    return text;
}

// A look as an iPad sends it over the local network; with a slope, it carries CDL values.
inline QJsonObject look(const QString& name, double slope = 0) {
    QJsonObject body{{"name", name}, {"cube", QString::fromUtf8(cube(name.section(u'/', -1)))}};
    if (slope > 0) {
        body.insert("look", QJsonObject{{"name", name},
                                        {"space", "rec709"},
                                        {"slope", QJsonArray{slope, 1, 0.9}},
                                        {"offset", QJsonArray{0, 0, 0}},
                                        {"power", QJsonArray{1, 1, 1}},
                                        {"saturation", 1.2}});
    }
    return body;
}

inline QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

inline void setPaused(RunningProgram& tonewharf, bool paused) {
    QSettings(tonewharf.path("home/.config/quillfen/Tonewharf.conf"), QSettings::IniFormat)
        .setValue("tonewharf.paused", paused);
}

// Waits until Resolve's next status poll has come and gone.
inline bool polled(const FakeResolveInstallation& resolve, qsizetype polls) {
    const bool polled = QTest::qWaitFor([&] { return resolve.calls().count("scriptapp") > polls; }, 10000);
    QTest::qWait(300); // the program reads the answer
    return polled;
}

// The test cloud service with one user, ana, signed in once; her session can be put where the
// program finds it (its keyring) as often as a scenario needs.
struct SignedInCloud {
    CloudTestService service;
    QString user;
    std::optional<QString> token;

    bool start() {
        if (!service.start()) {
            return false;
        }
        user = service.createUser("ana@example.com", "secret");
        CloudStore signIn(service.baseUrl(), std::make_shared<InMemoryCredentialStore>());
        const bool signedIn = QCoro::waitFor(signIn.signIn("ana@example.com", "secret"));
        token = signIn.token();
        service.clearRequests();
        return signedIn;
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment environment;
        environment.insert("TONEWHARF_CLOUD_URL", service.baseUrl().toString());
        return environment;
    }
    // Ana's session in the program's keyring, or with `false` no session at all.
    void signIn(RunningProgram& tonewharf, bool signedIn = true) {
        tonewharf.storeCredential("token", signedIn ? token : std::nullopt);
        tonewharf.storeCredential("userID", signedIn ? std::optional(user) : std::nullopt);
        tonewharf.storeCredential("email",
                                  signedIn ? std::optional<QString>("ana@example.com") : std::nullopt);
    }
    // Starts the program with the service held until the bridge has reached Resolve, so that the
    // first sync finds Resolve ready for a refresh, however loaded the machine.
    bool start(RunningProgram& tonewharf, const FakeResolveInstallation& resolve) {
        const qsizetype polls = resolve.calls().count("scriptapp");
        service.hold(true);
        const bool started = tonewharf.start() && polled(resolve, polls);
        service.hold(false);
        return started;
    }
    // A look marked (or not) for Resolve on the iPad, by default with cube(name, 1); its id.
    QString record(const QString& name, bool withLook = false, bool resolve = true, QByteArray bytes = {}) {
        QJsonObject fields{{"name", name}, {"resolve", resolve}};
        if (withLook) {
            fields.insert("look", look(name, 1.1)["look"]);
        }
        const QJsonObject body{
            {"collection", "tintara_luts"},
            {"fields", fields},
            {"fileName", name + ".cube"},
            {"fileBase64", QString::fromLatin1((bytes.isNull() ? cube(name, 1) : bytes).toBase64())}};
        return service.control("POST", "/_test/records", body)["id"].toString();
    }
};
