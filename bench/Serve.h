#pragma once

// Runs a benchmark's client on a thread of its own while this thread's event
// loop serves it, and returns what the client returned.

#include <QCoreApplication>
#include <QThread>

template <typename Client>
auto ServeWhile(Client client)
{
    decltype(client()) result;
    QThread* thread = QThread::create([&result, client] { result = client(); });
    QObject::connect(thread, &QThread::finished, QCoreApplication::instance(), &QCoreApplication::quit);
    thread->start();
    QCoreApplication::exec();
    thread->wait();
    delete thread;
    return result;
}
