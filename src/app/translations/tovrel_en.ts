<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="ru_RU">
<context>
    <name>TMainForm</name>
    <message>
        <source>Виртуальный кабель Tovrel I/Q</source>
        <translation>Tovrel I/Q virtual cable</translation>
    </message>
    <message>
        <source>Входное устройство :</source>
        <translation>Input device:</translation>
    </message>
    <message>
        <source>Выходное устройство :</source>
        <translation>Output device:</translation>
    </message>
    <message>
        <source>Вход (L) :</source>
        <translation>Input (L):</translation>
    </message>
    <message>
        <source>Частота дискретизации входа (Моно) :</source>
        <translation>Input sample rate (mono):</translation>
    </message>
    <message>
        <source>Выход L:</source>
        <translation>Output L:</translation>
    </message>
    <message>
        <source>Выход R:</source>
        <translation>Output R:</translation>
    </message>
    <message>
        <source>I/Q выходной сигнал</source>
        <translation>I/Q output signal</translation>
    </message>
    <message>
        <source>Инверсия выходного спектра</source>
        <translation>Invert output spectrum</translation>
    </message>
    <message>
        <source>Входной спектр</source>
        <translation>Input spectrum</translation>
    </message>
    <message>
        <source>Фильтрация IQ (опция)</source>
        <translation>IQ filtering (option)</translation>
    </message>
    <message>
        <source>Логарифмически</source>
        <translation>Logarithmic</translation>
    </message>
    <message>
        <source>Непрерывный поток (малая задержка)</source>
        <translation>Continuous stream (low latency)</translation>
    </message>
    <message>
        <source>Входное устройство : %1 кГц Моно</source>
        <translation>Input device: %1 kHz mono</translation>
    </message>
    <message>
        <source>Выходное устройство : %1 кГц Стерео</source>
        <translation>Output device: %1 kHz stereo</translation>
    </message>
    <message>
        <source> — поток: разрывов %1 (опустошений %2, переполнений %3, перезапусков %4), очередь %5 мс</source>
        <translation> — stream: breaks %1 (underruns %2, overflows %3, restarts %4), queue %5 ms</translation>
    </message>
    <message>
        <source> — поток: устройства потеряны, открываю снова…</source>
        <translation> — stream: devices lost, opening them again…</translation>
    </message>
</context>
<context>
    <name>display::Ruler</name>
    <message>
        <source>кГц</source>
        <translation>kHz</translation>
    </message>
</context>
</TS>
