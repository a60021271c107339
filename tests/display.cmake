# Display module: LED meter, resampler, heat colours, spectrum column and ruler.
tovrel_test(led_display_test LIBS tovrel_display)
tovrel_test(resample_test LIBS tovrel_display)
tovrel_test(spectrum_test LIBS tovrel_display)
