tovrel_test(fft_test LIBS tovrel_dsp THREADS)
